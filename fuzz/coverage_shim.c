// Preloaded ahead of the ASan runtime by tools/fuzz.sh. The ASan runtimes
// define weak no-op versions of the callbacks through which instrumented code
// reports coverage to libFuzzer: the counters of the Python code (registered
// by atheris) and, in the clang build, the edge counters and comparisons of
// the extension modules. Loaded first (as ASan must be), the runtime would win
// the symbol lookup and libFuzzer would see nothing. These definitions come
// first instead and pass each call on to the libFuzzer linked into atheris's
// core module, which must be imported before any instrumented module.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <link.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

static int find_core(struct dl_phdr_info* info, size_t size, void* found) {
    (void)size;
    if (!strstr(info->dlpi_name, "atheris/core_with_libfuzzer")) return 0;
    *(const char**)found = info->dlpi_name;
    return 1;
}

static void* in_libfuzzer(const char* symbol) {
    const char* path = NULL;
    dl_iterate_phdr(find_core, &path);
    void* core = path ? dlopen(path, RTLD_NOW | RTLD_NOLOAD) : NULL;
    return core ? dlsym(core, symbol) : NULL;
}

void __sanitizer_cov_8bit_counters_init(uint8_t* start, uint8_t* stop) {
    void (*init)(uint8_t*, uint8_t*) = (void (*)(uint8_t*, uint8_t*))in_libfuzzer(__func__);
    if (init) init(start, stop);
}

void __sanitizer_cov_pcs_init(const uintptr_t* begin, const uintptr_t* end) {
    void (*init)(const uintptr_t*, const uintptr_t*) =
        (void (*)(const uintptr_t*, const uintptr_t*))in_libfuzzer(__func__);
    if (init) init(begin, end);
}

// The comparison hooks run on every instrumented comparison: the target is
// looked up once, and the call is a tail call, so libFuzzer still sees the
// caller's address (it keys its table of compared values by it).
#define FORWARD(name, params, args)                       \
    void name params {                                    \
        static void(*target) params;                      \
        static int looked_up;                             \
        if (!looked_up) {                                 \
            target = (void(*) params)in_libfuzzer(#name); \
            looked_up = 1;                                \
        }                                                 \
        if (target) target args;                          \
    }

FORWARD(__sanitizer_cov_trace_cmp1, (uint8_t a, uint8_t b), (a, b))
FORWARD(__sanitizer_cov_trace_cmp2, (uint16_t a, uint16_t b), (a, b))
FORWARD(__sanitizer_cov_trace_cmp4, (uint32_t a, uint32_t b), (a, b))
FORWARD(__sanitizer_cov_trace_cmp8, (uint64_t a, uint64_t b), (a, b))
FORWARD(__sanitizer_cov_trace_const_cmp1, (uint8_t a, uint8_t b), (a, b))
FORWARD(__sanitizer_cov_trace_const_cmp2, (uint16_t a, uint16_t b), (a, b))
FORWARD(__sanitizer_cov_trace_const_cmp4, (uint32_t a, uint32_t b), (a, b))
FORWARD(__sanitizer_cov_trace_const_cmp8, (uint64_t a, uint64_t b), (a, b))
FORWARD(__sanitizer_cov_trace_switch, (uint64_t value, uint64_t* cases), (value, cases))
