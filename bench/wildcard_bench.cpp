// Times the library's wildcard matcher against the direct backtracking rule
// on adversarial inputs that grow: k stars each followed by 'a', then a 'b'
// that the name never has, against a name of n 'a's. The backtracking rule
// grows like n^k; the matcher stays near n*k.
#include <windows.h>

#include <cstdio>
#include <string>

#include "enum/wildcard.h"
#include "support/reference_wildcard.h"

namespace {

double Seconds() {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

template <class Match>
double TimePerCall(Match match, const std::wstring &pattern, const std::wstring &name, int *result) {
    int repeats = 0;
    double start = Seconds(), elapsed = 0;
    do {
        *result = match(pattern.c_str(), name.c_str());
        ++repeats;
        elapsed = Seconds() - start;
    } while (elapsed < 0.05);
    return elapsed / repeats;
}

}  // namespace

int main() {
    std::printf("%6s %6s %16s %16s %12s\n", "stars", "name", "backtrack (us)", "library (us)", "ratio");
    for (int stars : {2, 3, 4, 5, 6}) {
        for (int length : {16, 32, 64}) {
            std::wstring pattern;
            for (int i = 0; i < stars; ++i) pattern += L"*a";
            pattern += L"b";
            std::wstring name(static_cast<size_t>(length), L'a');
            int expected = 0, got = 0;
            double reference = TimePerCall(kivotest::ReferenceMatch, pattern, name, &expected);
            double library = TimePerCall(kivo::MatchWildcard, pattern, name, &got);
            std::printf("%6d %6d %16.3f %16.3f %12.1f%s\n", stars, length, reference * 1e6, library * 1e6,
                        reference / library, expected == got ? "" : "  RESULTS DIFFER");
        }
    }
    std::wstring longName(258, L'a');
    longName += L'b';
    int result = 0;
    double twelve = TimePerCall(kivo::MatchWildcard, L"*a*a*a*a*a*a*a*a*a*a*a*a*c", longName, &result);
    std::printf("library, 12 stars against 259 characters: %.3f us (result %d)\n", twelve * 1e6, result);
    return 0;
}
