// Test helper: the GBK bytes of a UTF-8 text, converted independently of the
// library's own table: by the C library's iconv, or on Windows by the
// system's code page 936.
#pragma once

#include <stdexcept>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <iconv.h>
#endif

namespace quelmar_test {

#if defined(_WIN32)

inline std::string gbk(const std::string& in) {
    if (in.empty()) return in;
    constexpr UINT kGbk = 936;
    const int length = static_cast<int>(in.size());
    // Refuse what is not UTF-8 or has no GBK form, instead of substituting.
    const int wide_length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, in.data(), length, nullptr, 0);
    if (wide_length == 0) throw std::runtime_error("not UTF-8");
    std::wstring wide(static_cast<std::size_t>(wide_length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, in.data(), length, &wide[0], wide_length);
    BOOL lossy = FALSE;
    const int out_length = WideCharToMultiByte(kGbk, 0, wide.data(), wide_length, nullptr, 0, nullptr, &lossy);
    if (out_length == 0 || lossy) throw std::runtime_error("code page 936 cannot convert to GBK");
    std::string out(static_cast<std::size_t>(out_length), '\0');
    WideCharToMultiByte(kGbk, 0, wide.data(), wide_length, &out[0], out_length, nullptr, nullptr);
    return out;
}

#else

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

#endif

}  // namespace quelmar_test
