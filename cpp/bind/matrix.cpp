#include "common/pyfunction.hpp"
NB_MODULE(matrix, m) {}
