// The value tokens every case-file program reads alike (the format is at the
// head of tests/cases/worked.txt), and the names its cases take as tests.
#pragma once

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "csv_columns.h"

namespace quelmar_test {

// @file:column[:count]: whole columns of a bundled CSV file, each file read
// once per program.
inline void append_columns(const std::string& token, std::vector<double>& values) {
    static std::map<std::string, std::vector<std::vector<double>>> files;
    char file[64];
    std::size_t column = 0, count = 1;
    std::sscanf(token.c_str(), "@%63[^:]:%zu:%zu", file, &column, &count);
    if (!files.count(file)) files[file] = read_csv_columns(QUELMARALG_DATA_DIR "/" + std::string(file) + ".csv");
    for (std::size_t c = column; c < column + count; ++c)
        values.insert(values.end(), files[file].at(c).begin(), files[file].at(c).end());
}

// v, or v*n: n copies of v.
inline void append_repeated(const std::string& token, std::vector<double>& values) {
    const std::size_t star = token.find('*');
    values.insert(values.end(), star == std::string::npos ? 1 : std::stoull(token.substr(star + 1)),
                  std::strtod(token.c_str(), nullptr));
}

// A case's name as GoogleTest takes it: letters and digits, the rest '_'.
inline std::string test_name(std::string name) {
    for (char& ch : name) ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    return name;
}

}  // namespace quelmar_test
