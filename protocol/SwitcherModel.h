#pragma once
// The matrix size in the switcher's answer to its type query ("MATRIX 16X16": 16 inputs,
// 16 outputs), for the bridges that show how many ports the switcher has.

#include <QString>

namespace model {

// Inputs and outputs of "MATRIX <I>X<O>" (blanks around it and either case of the X
// accepted; each 1..999). False, leaving both untouched, for anything else.
bool ParseMatrixSize(const QString& typeReply, int* inputs, int* outputs);

}  // namespace model
