#include "driver/rename_list.h"

#include <gtest/gtest.h>
