// The fault matrix's Markdown table: the cells of one case's row, and what
// differs between the committed table and a generated one.
#ifndef QUILLMOTE_TESTS_FAULT_MATRIX_TABLE_H
#define QUILLMOTE_TESTS_FAULT_MATRIX_TABLE_H

#include <string>
#include <vector>

#include "matrix.h"

namespace faultmatrix {

// Debugger lines or message texts, quoted, in one cell; "none" for none.
std::string Cell(const std::vector<std::string>& lines);
// What the case left once the plug-in was closed.
std::string LeftAfterClose(const Outcome& out);
// How the next open went.
std::string NextOpen(const Outcome& out);
// The lines only one of the two tables has, each marked with the table it
// comes from.
std::string ChangedLines(const std::string& committed, const std::string& generated);

}  // namespace faultmatrix

#endif
