#include <gtest/gtest.h>

#include "reml/reml.h"

TEST(Reml, Placeholder) {}
