// Links in place of the fast kernel to build dartpi-serial as it is without it: the baseline the
// kernel is measured against.
#include "estimator.h"

int count_hits(unsigned seed, int points) {
    return count_hits_plain(seed, points);
}
