/* Loads the extension module the way CPython does (dlopen, every symbol bound now) on
 * the glibc of the root it runs in, then runs the core's checks in floor_probe.so.
 * usage: loader LIBSTUB MODULE PROBE; LIBSTUB provides the CPython symbols the module
 * imports, since no CPython 3.14 runs on such a glibc. */
#include <dlfcn.h>
#include <gnu/libc-version.h>
#include <stdio.h>
#include <unistd.h>

static int refuse(const char* what) {
    printf("FAILED: %s: %s\n", what, dlerror());
    return 1;
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s LIBSTUB MODULE PROBE\n", argv[0]);
        return 2;
    }
    alarm(300); /* a sampler that never wakes must not hang the run */
    printf("glibc %s\n", gnu_get_libc_version());
    if (!dlopen(argv[1], RTLD_NOW | RTLD_GLOBAL)) return refuse("the CPython stub");
    void* module = dlopen(argv[2], RTLD_NOW | RTLD_LOCAL);
    if (!module) return refuse("the module");
    if (!dlsym(module, "PyInit__quillmere_core")) return refuse("PyInit__quillmere_core");
    printf("ok: the module loads with every symbol bound\n");
    void* probe = dlopen(argv[3], RTLD_NOW | RTLD_LOCAL);
    if (!probe) return refuse("the core's probe");
    int (*run)(int*) = (int (*)(int*))dlsym(probe, "quillmere_floor_probe");
    if (!run) return refuse("quillmere_floor_probe");
    int passed = 0;
    int failures = run(&passed);
    printf("%d passed, %d failed\n", passed + 1, failures); /* + the module's load */
    return failures == 0 ? 0 : 1;
}
