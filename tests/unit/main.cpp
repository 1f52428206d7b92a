// Entry point shared by every unit test program: wide arguments, like the program's own wmain.
#include <gtest/gtest.h>

#include "fixtures.h"

int wmain(int argc, wchar_t** argv) {
  testing::InitGoogleTest(&argc, argv);
  testing::UnitTest::GetInstance()->listeners().Append(new fixtures::FailuresDuringCapture);
  return RUN_ALL_TESTS();
}
