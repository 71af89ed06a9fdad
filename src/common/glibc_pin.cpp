// Linked into the prebuilt Linux addon only: binds the few C library functions whose newest
// version is younger than glibc 2.28 to their older versions, so that the binary built here
// loads on RHEL/Rocky 8 and Debian 10 as well. The static libstdc++ and libgcc call these by
// plain name; the definitions below are what the linker finds first, and they are hidden, so no
// other library of the process sees them.
#include <dlfcn.h>
#include <link.h>
#include <pthread.h>
#include <sys/random.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>

#if !defined(__linux__) || !defined(__GLIBC__)
#error "glibc_pin.cpp is for the prebuilt glibc addon only"
#endif

// The oldest version of each symbol on the two architectures built: the first glibc of each.
#if defined(__x86_64__)
#define KX_GLIBC_BASE "GLIBC_2.2.5"
constexpr int kStatVersion = 1;  // _STAT_VER_LINUX
#elif defined(__aarch64__)
#define KX_GLIBC_BASE "GLIBC_2.17"
constexpr int kStatVersion = 0;
#else
#error "no pinned glibc versions for this architecture"
#endif

#define KX_HIDDEN __attribute__((visibility("hidden")))
// `old` names `name` at the base version: glibc 2.34 moved the thread functions into libc and
// gave them a new version, 2.33 turned stat() and friends from inline calls of __xstat into
// functions. Both old spellings are still exported by today's glibc.
#define KX_OLD(old, name) __asm__(".symver " #old ", " #name "@" KX_GLIBC_BASE)

extern "C" {

int kx_old_xstat(int, const char*, struct stat*);
int kx_old_lxstat(int, const char*, struct stat*);
int kx_old_fxstat(int, int, struct stat*);
int kx_old_fxstat64(int, int, struct stat64*);
KX_OLD(kx_old_xstat, __xstat);
KX_OLD(kx_old_lxstat, __lxstat);
KX_OLD(kx_old_fxstat, __fxstat);
KX_OLD(kx_old_fxstat64, __fxstat64);

KX_HIDDEN int stat(const char* path, struct stat* st) { return kx_old_xstat(kStatVersion, path, st); }
KX_HIDDEN int lstat(const char* path, struct stat* st) { return kx_old_lxstat(kStatVersion, path, st); }
KX_HIDDEN int fstat(int fd, struct stat* st) { return kx_old_fxstat(kStatVersion, fd, st); }
KX_HIDDEN int fstat64(int fd, struct stat64* st) { return kx_old_fxstat64(kStatVersion, fd, st); }

int kx_old_pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
int kx_old_pthread_join(pthread_t, void**);
int kx_old_pthread_detach(pthread_t);
int kx_old_pthread_once(pthread_once_t*, void (*)(void));
int kx_old_pthread_key_create(pthread_key_t*, void (*)(void*));
int kx_old_pthread_key_delete(pthread_key_t);
void* kx_old_pthread_getspecific(pthread_key_t);
__attribute__((access(none, 2))) int kx_old_pthread_setspecific(pthread_key_t, const void*);
KX_OLD(kx_old_pthread_create, pthread_create);
KX_OLD(kx_old_pthread_join, pthread_join);
KX_OLD(kx_old_pthread_detach, pthread_detach);
KX_OLD(kx_old_pthread_once, pthread_once);
KX_OLD(kx_old_pthread_key_create, pthread_key_create);
KX_OLD(kx_old_pthread_key_delete, pthread_key_delete);
KX_OLD(kx_old_pthread_getspecific, pthread_getspecific);
KX_OLD(kx_old_pthread_setspecific, pthread_setspecific);

KX_HIDDEN int pthread_create(pthread_t* t, const pthread_attr_t* a, void* (*f)(void*), void* arg) {
    return kx_old_pthread_create(t, a, f, arg);
}
KX_HIDDEN int pthread_join(pthread_t t, void** result) { return kx_old_pthread_join(t, result); }
KX_HIDDEN int pthread_detach(pthread_t t) { return kx_old_pthread_detach(t); }
KX_HIDDEN int pthread_once(pthread_once_t* once, void (*f)(void)) { return kx_old_pthread_once(once, f); }
KX_HIDDEN int pthread_key_create(pthread_key_t* key, void (*destroy)(void*)) {
    return kx_old_pthread_key_create(key, destroy);
}
// libgcc asks for this one (weakly) to learn whether threads are in use: they always are in node.
KX_HIDDEN int __pthread_key_create(pthread_key_t* key, void (*destroy)(void*)) {
    return kx_old_pthread_key_create(key, destroy);
}
KX_HIDDEN int pthread_key_delete(pthread_key_t key) { return kx_old_pthread_key_delete(key); }
KX_HIDDEN void* pthread_getspecific(pthread_key_t key) { return kx_old_pthread_getspecific(key); }
KX_HIDDEN int pthread_setspecific(pthread_key_t key, const void* value) {
    return kx_old_pthread_setspecific(key, value);
}

// glibc 2.32 lets libstdc++ skip atomic reference counts in a single-threaded process; node never
// is one, so "not single-threaded" is always true here.
KX_HIDDEN char __libc_single_threaded = 0;

// std::random_device's default source since glibc 2.36; getentropy() (2.25) reads the same kernel
// generator. It cannot fail for 4 bytes, except on a kernel older than getrandom() (3.17).
KX_HIDDEN uint32_t arc4random(void) {
    unsigned char bytes[4] = {0, 0, 0, 0};
    while (getentropy(bytes, sizeof bytes) != 0 && errno == EINTR) {
    }
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// libgcc's unwinder finds the unwind tables of a code address with this (glibc 2.35); before it,
// the same lookup walked the loaded objects' program headers, as done here.
KX_HIDDEN int _dl_find_object(void* pc, struct dl_find_object* result) {
    struct Search {
        uintptr_t pc;
        dl_find_object* out;
        bool found;
    } search{reinterpret_cast<uintptr_t>(pc), result, false};
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) -> int {
            Search* s = static_cast<Search*>(data);
            uintptr_t low = UINTPTR_MAX, high = 0;
            bool inside = false;
            void* eh_frame = nullptr;
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& p = info->dlpi_phdr[i];
                const uintptr_t start = info->dlpi_addr + p.p_vaddr;
                if (p.p_type == PT_LOAD) {
                    inside = inside || (s->pc >= start && s->pc < start + p.p_memsz);
                    if (start < low) low = start;
                    if (start + p.p_memsz > high) high = start + p.p_memsz;
                } else if (p.p_type == PT_GNU_EH_FRAME) {
                    eh_frame = reinterpret_cast<void*>(start);
                }
            }
            if (!inside) return 0;
            *s->out = dl_find_object{};
            s->out->dlfo_map_start = reinterpret_cast<void*>(low);
            s->out->dlfo_map_end = reinterpret_cast<void*>(high);
            s->out->dlfo_eh_frame = eh_frame;
            s->found = true;
            return 1;
        },
        &search);
    return search.found ? 0 : -1;
}

}  // extern "C"
