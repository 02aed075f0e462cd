// The query table of vexa_bench (xpath_bench.cpp).
#ifndef VEXA_XPATH_BENCH_H
#define VEXA_XPATH_BENCH_H

#include <string>
#include <vector>

// Times every query of the table on each file for Vexa and the peers built
// in, and prints the table with the geometric means of the ratios.
int XPathTable(const std::vector<std::string>& files, bool quick);

#endif
