#include "prose.h"

#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

namespace tour {

std::size_t terminal_width() {
    winsize size{};
    if (isatty(STDOUT_FILENO) == 0 || ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0)
        return 0;
    return size.ws_col;
}

std::string wrap(const std::string &text, std::size_t width, std::size_t hanging) {
    if (width == 0 || text.size() <= width)
        return text;
    // The words, each with the spaces before it.
    struct Word {
        std::string gap, word;
    };
    std::vector<Word> words;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t word_at = text.find_first_not_of(' ', at);
        if (word_at == std::string::npos)
            break;
        std::size_t end = std::min(text.find(' ', word_at), text.size());
        words.push_back({text.substr(at, word_at - at), text.substr(word_at, end - word_at)});
        at = end;
    }
    std::string out, line;
    for (const Word &w : words) {
        bool first_on_line = line.empty() || line.find_first_not_of(' ') == std::string::npos;
        if (!first_on_line && line.size() + w.gap.size() + w.word.size() > width) {
            out += line + "\n";
            line = std::string(hanging, ' ') + w.word;
        } else {
            line += w.gap + w.word;
        }
    }
    return out + line;
}

std::string visible(const std::string &text) {
    std::string shown;
    shown.reserve(text.size());
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t') || byte == 0x7F) {
            shown += '^';
            shown += static_cast<char>(byte ^ 0x40);
        } else {
            shown += c;
        }
    }
    return shown;
}

} // namespace tour
