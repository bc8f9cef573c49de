// Preloaded ahead of the ASan runtime by tools/fuzz.sh. The GCC ASan runtime
// defines weak no-op versions of the two callbacks through which atheris
// registers the coverage counters of the Python code with libFuzzer; loaded
// first (as ASan must be), they would win the symbol lookup, and libFuzzer
// would see no coverage at all. These definitions come first instead and pass
// each call on to the libFuzzer linked into atheris's core module.
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
