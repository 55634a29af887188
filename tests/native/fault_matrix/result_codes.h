// What each platform function the plug-in calls can return when it fails,
// and the functions that cannot fail at all.
#ifndef QUILLMOTE_TESTS_FAULT_MATRIX_RESULT_CODES_H
#define QUILLMOTE_TESTS_FAULT_MATRIX_RESULT_CODES_H

#include <map>
#include <set>
#include <string>
#include <vector>

namespace faultmatrix {

struct Code {
  unsigned value;
  const char* name;
};

// By function name. A function missing here fails the matrix, so that a new
// system call can't slip past.
const std::map<std::string, std::vector<Code>>& ResultCodes();

// Functions that cannot fail on Windows: the platform counts them but never
// fails them, and the matrix only lists them.
const std::set<std::string>& CannotFail();

}  // namespace faultmatrix

#endif
