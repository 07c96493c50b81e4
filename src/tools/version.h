#pragma once
#include "quorvel_version.h"  // generated from project(... VERSION ...) in CMakeLists.txt
