#include "common/pyfunction.hpp"
NB_MODULE(optimize, m) {}
