#include "test_files.hpp"
