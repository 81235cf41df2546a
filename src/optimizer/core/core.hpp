// The numerical core: plain C++ over contiguous double buffers, no Python headers. Each header
// of this folder holds one estimator or objective family.
#pragma once
