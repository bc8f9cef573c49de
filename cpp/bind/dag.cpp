#include "common/pyfunction.hpp"
NB_MODULE(dag, m) {}
