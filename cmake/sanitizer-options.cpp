// sanitizer-options.cpp: the sanitizers' defaults for every program of a
// QUILLOG_SANITIZE build (the ASAN_OPTIONS and UBSAN_OPTIONS environment
// variables still override them).
//
// The leak check is off: the record read buffer and the source, module and
// account caches live until the process ends and are released by its exit,
// so every run would report them. Any other report ends the program with a
// failure, and an undefined-behaviour report prints where it happened.

extern "C" const char *__asan_default_options() {
    return "detect_leaks=0:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1";
}

extern "C" const char *__ubsan_default_options() { return "print_stacktrace=1:halt_on_error=1"; }
