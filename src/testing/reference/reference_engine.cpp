#include "testing/reference/reference_engine.h"

namespace tolbrek5::reference {

const EngineForm ReferenceEngine = {&tolbrek5::EvolveKey, &GeneratePad, &TransformBlock};

}  // namespace tolbrek5::reference
