// Forwards that let the extension module load on glibc 2.28 and later although it is
// built against a current glibc (linked into the module only; see CMakeLists.txt).
//
// A program linked against glibc binds each function to the newest version of it that
// glibc defines, and the dynamic loader refuses the program where that version is
// missing. The static C++ runtime and our own code were compiled against the build's
// glibc, so some of their calls name versions from 2.30 on: the pthread functions that
// moved into libc in 2.34 (pthread_sigmask in 2.32), fstat (2.33), gettid and getdents64 (2.30), the exception
// pool's C23 strtoul (2.38). Each is defined here, hidden, under the same name, so the
// static link binds every call in the module to this definition, which calls the same
// function under its oldest version, or makes the system call the newer wrapper makes.
// On a current glibc the old versions are the same code; on an old one they are the only
// ones. tests/packaging/check_package.py fails the build if a version above 2.28 returns.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>

#if defined(__x86_64__)
#define QUILLMERE_GLIBC_BASE "GLIBC_2.2.5"
#define QUILLMERE_GLIBC_2_12 "GLIBC_2.12"
#define QUILLMERE_STAT_VER 1
#elif defined(__aarch64__)
#define QUILLMERE_GLIBC_BASE "GLIBC_2.17"
#define QUILLMERE_GLIBC_2_12 "GLIBC_2.17"
#define QUILLMERE_STAT_VER 0
#else
#error "the oldest glibc symbol versions are known for x86-64 and aarch64 only"
#endif

// OLDEST(version, result, name, (parameters)) declares quillmere_glibc_<name>, which the
// assembler binds to glibc's `name@version`.
#define OLDEST(version, result, name, parameters)                                      \
    extern "C" result quillmere_glibc_##name parameters noexcept;                      \
    __asm__(".symver quillmere_glibc_" #name ", " #name "@" version)

// FORWARD(version, result, name, (parameters), (arguments)): `name` calls `name@version`.
#define FORWARD(version, result, name, parameters, arguments)                          \
    OLDEST(version, result, name, parameters);                                         \
    extern "C" [[gnu::visibility("hidden")]] result name parameters noexcept {         \
        return quillmere_glibc_##name arguments;                                       \
    }

// Moved from libpthread into libc, with new versions, in glibc 2.34; libpthread.so.0,
// which the module names as a needed library, provides them before that.
FORWARD(QUILLMERE_GLIBC_BASE, int, pthread_create,
        (pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*), void* argument),
        (thread, attributes, start, argument))
FORWARD(QUILLMERE_GLIBC_BASE, int, pthread_join, (pthread_t thread, void** result), (thread, result))
FORWARD(QUILLMERE_GLIBC_BASE, int, pthread_detach, (pthread_t thread), (thread))
FORWARD(QUILLMERE_GLIBC_BASE, int, pthread_once, (pthread_once_t* once, void (*routine)()),
        (once, routine))
FORWARD(QUILLMERE_GLIBC_BASE, int, pthread_key_create, (pthread_key_t* key, void (*destructor)(void*)),
        (key, destructor))
FORWARD(QUILLMERE_GLIBC_BASE, int, pthread_key_delete, (pthread_key_t key), (key))
FORWARD(QUILLMERE_GLIBC_BASE, void*, pthread_getspecific, (pthread_key_t key), (key))
// glibc declares that the value is never read through, which GCC takes for a value that
// may be uninitialised once it is passed on.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
FORWARD(QUILLMERE_GLIBC_BASE, int, pthread_setspecific, (pthread_key_t key, const void* value),
        (key, value))
#pragma GCC diagnostic pop
// A new version in glibc 2.32; libc has always had it under the oldest one.
FORWARD(QUILLMERE_GLIBC_BASE, int, pthread_sigmask, (int how, const sigset_t* set, sigset_t* previous),
        (how, set, previous))
FORWARD(QUILLMERE_GLIBC_2_12, int, pthread_getname_np, (pthread_t thread, char* name, size_t size),
        (thread, name, size))
FORWARD(QUILLMERE_GLIBC_2_12, int, pthread_setname_np, (pthread_t thread, const char* name),
        (thread, name))

// fstat became a function of its own in glibc 2.33; before, the header inlined a call of
// __fxstat with the layout's version, which current glibc still serves.
FORWARD(QUILLMERE_GLIBC_BASE, int, __fxstat, (int layout, int fd, struct stat* info),
        (layout, fd, info))
extern "C" [[gnu::visibility("hidden")]] int fstat(int fd, struct stat* info) noexcept {
    return quillmere_glibc___fxstat(QUILLMERE_STAT_VER, fd, info);
}

// glibc 2.30 added wrappers for these two system calls; the module makes the calls.
extern "C" [[gnu::visibility("hidden")]] pid_t gettid() noexcept {
    return static_cast<pid_t>(::syscall(SYS_gettid));
}
extern "C" [[gnu::visibility("hidden")]] ssize_t getdents64(int fd, void* buffer, size_t size) noexcept {
    return ::syscall(SYS_getdents64, fd, buffer, size);
}

// libstdc++ skips the atomic operations of shared_ptr's count where this says the process
// has one thread (glibc 2.32). 0 says "maybe more", which is always right, and costs only
// the atomics nothing else in the module avoids.
extern "C" {
[[gnu::visibility("hidden")]] char __libc_single_threaded = 0;
}

// The C23 strtoul of glibc 2.38 (libstdc++'s exception pool parses GLIBCXX_TUNABLES with
// it) differs from the older one only in also reading "0b"/"0B" binary numbers where the
// base is 0 or 2. The older one does the rest; the prefix is taken here. (The headers
// rename plain strtoul calls to the C23 one, so the older is named by its version.)
OLDEST(QUILLMERE_GLIBC_BASE, unsigned long, strtoul, (const char* text, char** end, int base));

extern "C" [[gnu::visibility("hidden")]] unsigned long __isoc23_strtoul(const char* text, char** end,
                                                                        int base) noexcept {
    if (base == 0 || base == 2) {
        const char* digits = text;
        while (std::isspace(static_cast<unsigned char>(*digits))) ++digits;
        const bool negative = *digits == '-';
        if (*digits == '-' || *digits == '+') ++digits;
        if (digits[0] == '0' && (digits[1] == 'b' || digits[1] == 'B') &&
            (digits[2] == '0' || digits[2] == '1')) {
            const int saved = errno;
            errno = 0;
            const unsigned long value = quillmere_glibc_strtoul(digits + 2, end, 2);
            if (errno == ERANGE) return ULONG_MAX;  // no negation on overflow, as strtoul
            errno = saved;
            return negative ? -value : value;
        }
    }
    return quillmere_glibc_strtoul(text, end, base);
}
