#include "n_wrap.h"
#include <gtest/gtest.h>
