// Test helper: the GBK bytes of a UTF-8 text, converted independently of the
// library's own table with the C library's iconv.
#pragma once

#include <iconv.h>

#include <stdexcept>
#include <string>

namespace quelmar_test {

inline std::string gbk(std::string in) {
    iconv_t cd = iconv_open("GBK", "UTF-8");
    std::string out(in.size() * 2 + 1, '\0');
    char *src = in.data(), *dst = out.data();
    size_t src_left = in.size(), dst_left = out.size();
    const bool failed = cd == reinterpret_cast<iconv_t>(-1) || iconv(cd, &src, &src_left, &dst, &dst_left) == size_t(-1);
    if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
    if (failed) throw std::runtime_error("iconv cannot convert to GBK");
    out.resize(out.size() - dst_left);
    return out;
}

}  // namespace quelmar_test
