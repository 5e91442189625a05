#pragma once

#include "run/run.h"

namespace korvan {

// Every stage the way the method is written, without its faster forms: one
// elimination per column, dense tables, every trait rebuilt, look-ups by
// search, plain number conversion. Much slower; the reference for the
// product forms, bit for bit.
const StageForms& StraightforwardForms();

}  // namespace korvan
