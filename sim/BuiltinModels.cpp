#include "sim/MachineFile.h"

// Each model kind's file defines its own Register...Model function; adding a
// kind means adding its line here.
void RegisterRegisterFileModel(CSimModelRegistry& registry);
void RegisterSpiFlashModel(CSimModelRegistry& registry);
void RegisterSimGpuModel(CSimModelRegistry& registry);
void RegisterSimZX22Model(CSimModelRegistry& registry);
void RegisterSimPlxModel(CSimModelRegistry& registry);
void RegisterSimMcuModel(CSimModelRegistry& registry);
void RegisterSimKestrixModel(CSimModelRegistry& registry);

void RegisterBuiltinSimModels(CSimModelRegistry& registry)
{
    RegisterRegisterFileModel(registry);
    RegisterSpiFlashModel(registry);
    RegisterSimGpuModel(registry);
    RegisterSimZX22Model(registry);
    RegisterSimPlxModel(registry);
    RegisterSimMcuModel(registry);
    RegisterSimKestrixModel(registry);
}
