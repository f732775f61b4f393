#include "panorama/panorama.hpp"

_QueuePointers::~_QueuePointers() {}
_StackPointers::~_StackPointers() {}
