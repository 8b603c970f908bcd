// The harness of the core checks: CHECK counts a failed condition, run_cases runs the case named
// on the command line (or lists them with --list); the exit status is 1 when a check failed.
#pragma once

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>

namespace core_checks {

inline int failures = 0;

using Cases = std::map<std::string, std::function<void()>>;

inline int run_cases(int argc, char** argv, const Cases& cases) {
    if (argc == 2 && std::strcmp(argv[1], "--list") == 0) {
        for (const auto& [name, run] : cases) std::printf("%s\n", name.c_str());
        return 0;
    }
    if (argc != 2 || !cases.count(argv[1])) {
        std::fprintf(stderr, "usage: %s --list | CASE\n", argv[0]);
        return 2;
    }
    cases.at(argv[1])();
    return failures ? 1 : 0;
}

}  // namespace core_checks

#define CHECK(cond)                                                         \
    do {                                                                    \
        if (!(cond)) {                                                      \
            std::fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
            ++core_checks::failures;                                        \
        }                                                                   \
    } while (0)
