#include "activity.h"

namespace tour {

int actor(Activity &activity, const std::string &name) {
    for (size_t i = 0; i < activity.actors.size(); i++)
        if (activity.actors[i].name == name)
            return static_cast<int>(i);
    activity.actors.push_back({name, {}});
    return static_cast<int>(activity.actors.size()) - 1;
}

void phase(Activity &activity, int who, double from, double to, char mark, const char *name,
           bool keep_empty) {
    if (who >= 0 && (to > from || (keep_empty && to == from)))
        activity.actors[static_cast<size_t>(who)].phases.push_back({from, to, mark, name});
}

} // namespace tour
