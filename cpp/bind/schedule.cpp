#include "common/pyfunction.hpp"
NB_MODULE(schedule, m) {}
