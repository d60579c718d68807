// Test support, linked into every test program: with QUELMAR_X87_CONTROL_WORD
// set (e.g. 0x27F), the program's main thread runs with that x87 control word
// from before anything else starts. Some C libraries' maths functions use the
// x87 unit, whose precision field then changes their results: MinGW-w64
// programs start with 0x37F (64-bit precision), while Microsoft's x64
// convention, which Windows and Wine give every thread they start, is 0x27F
// (53-bit). The Windows test run goes through once each way.
#include <cstdio>
#include <cstdlib>

namespace {

constexpr const char* kVariable = "QUELMAR_X87_CONTROL_WORD";

[[noreturn]] void refuse(const char* why, const char* text) {
    std::fprintf(stderr, "%s=%s: %s\n", kVariable, text, why);
    std::exit(2);
}

#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))

// Priority 101: before every constructor of default priority, GoogleTest's
// registrations and the programs' own tables among them.
__attribute__((constructor(101))) void set_control_word() {
    const char* text = std::getenv(kVariable);
    if (text == nullptr || *text == '\0') return;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 0);
    if (*end != '\0' || value > 0xFFFF) refuse("not a 16-bit number", text);
    const unsigned short wanted = static_cast<unsigned short>(value);
    unsigned short now = 0;
    __asm__ volatile("fldcw %0" : : "m"(wanted));
    __asm__ volatile("fnstcw %0" : "=m"(now));
    if (now != wanted) refuse("the x87 unit keeps another control word", text);
}

#else

// Elsewhere the request cannot be met, and a run that asked for it must not
// pass as if it had been.
struct Refusal {
    Refusal() {
        const char* text = std::getenv(kVariable);
        if (text != nullptr && *text != '\0') refuse("no x87 control word can be set by this build", text);
    }
} refusal;

#endif

}  // namespace
