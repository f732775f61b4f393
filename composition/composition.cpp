#include "composition/composition.hpp"

Composition::~Composition() { releaseImages(); }
void Composition::releaseImages() {}
