// The engine program end to end, one case of engine_cases.txt per test.
#include "e2e.h"

BRINDLECAP_CASE_FILE_TESTS(FoundationEngine, PROGRAM, CASES);
