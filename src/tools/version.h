#pragma once
#define QUORVEL_VERSION "0.05"
