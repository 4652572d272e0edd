#include "rename/renamer.h"

#include <gtest/gtest.h>
