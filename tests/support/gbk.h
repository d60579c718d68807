// Test helpers: texts between UTF-8 and GBK, converted independently of the
// library's own table with the C library's iconv.
#pragma once

#include <iconv.h>

#include <stdexcept>
#include <string>

namespace quelmar_test {

inline std::string convert(std::string in, const char* to, const char* from) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv cannot convert");
    std::string out(in.size() * 2 + 1, '\0');
    char *src = in.data(), *dst = out.data();
    size_t src_left = in.size(), dst_left = out.size();
    const size_t rc = iconv(cd, &src, &src_left, &dst, &dst_left);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1)) throw std::runtime_error("not convertible");
    out.resize(out.size() - dst_left);
    return out;
}

inline std::string gbk(const std::string& utf8) { return convert(utf8, "GBK", "UTF-8"); }
inline std::string utf8(const std::string& gbk) { return convert(gbk, "UTF-8", "GBK"); }

}  // namespace quelmar_test
