// Test helper: the numeric columns of a bundled CSV file (one header line,
// then comma-separated numbers), read independently of the examples' reader.
#pragma once

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace quelmar_test {

inline std::vector<std::vector<double>> read_csv_columns(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::vector<double>> columns;
    std::string line;
    for (std::getline(in, line); std::getline(in, line);) {  // after the header
        std::replace(line.begin(), line.end(), ',', ' ');
        std::istringstream cells(line);
        std::size_t c = 0;
        for (double value; cells >> value; ++c) {
            if (c == columns.size()) columns.emplace_back();
            columns[c].push_back(value);
        }
    }
    return columns;
}

}  // namespace quelmar_test
