#pragma once

namespace korvan {

#ifndef KORVAN_STRAIGHTFORWARD
#define KORVAN_STRAIGHTFORWARD 0
#endif
// korvan-cli-straightforward is built from the same sources with
// KORVAN_STRAIGHTFORWARD=1: every stage then does its work the way the method
// is written (one elimination per column, dense tables, every trait rebuilt,
// look-ups by search, plain number conversion), as slow as that is. Its
// reports and procedure files are the reference the fast forms must match
// byte for byte.
inline constexpr bool kStraightforward = KORVAN_STRAIGHTFORWARD != 0;

}  // namespace korvan
