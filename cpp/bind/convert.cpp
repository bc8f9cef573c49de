#include "common/pyfunction.hpp"
NB_MODULE(_convert, m) {}
