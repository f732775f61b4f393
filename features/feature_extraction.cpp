#include "features/feature_extraction.hpp"
