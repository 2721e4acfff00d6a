// Qt 5 from the distribution is not built with ThreadSanitizer: the ordering that its own mutexes
// give to queued signal delivery (posting and handling events) is invisible to the checker, so
// races reported inside libQt5Core are not ours to see.
#if defined(__SANITIZE_THREAD__)
extern "C" const char *__tsan_default_suppressions() {
    return "race:libQt5Core.so.5\n";
}
#endif
