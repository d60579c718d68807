// Test helpers: the GBK bytes of a UTF-8 text, converted independently of the
// library's own table with the C library's iconv.
#pragma once

#include <iconv.h>

#include <stdexcept>
#include <string>

namespace quelmar_test {

inline std::string gbk(const std::string& utf8) {
    iconv_t cd = iconv_open("GBK", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv has no GBK");
    std::string in = utf8;
    std::string out(in.size() * 2 + 1, '\0');
    char* src = in.data();
    char* dst = out.data();
    size_t src_left = in.size();
    size_t dst_left = out.size();
    const size_t rc = iconv(cd, &src, &src_left, &dst, &dst_left);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1)) throw std::runtime_error("not convertible to GBK");
    out.resize(out.size() - dst_left);
    return out;
}

}  // namespace quelmar_test
