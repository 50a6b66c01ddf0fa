#include "support/kernel_test.h"

class IrpTest : public KernelTest {};

TEST_F(IrpTest, Placeholder) { SUCCEED(); }
