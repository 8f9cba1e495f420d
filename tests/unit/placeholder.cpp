#include <catch2/catch_test_macros.hpp>
