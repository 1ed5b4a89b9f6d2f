#pragma once
// The shared parameter set as one value, and a set no device reply in the
// tests carries, so that any stray write to the shared state shows.

#include "core/Others.h"
#include "protocol/ParameterBlock.h"

inline ParameterSet sharedParameterSet() {
    return {Others::FirmwareVersion, Others::ParamTable, Others::OutputParam};
}

inline void prefillSharedParameterSet() {
    Others::FirmwareVersion = QStringLiteral("9");
    for (int i = 0; i < Others::kInputs; ++i)
        Others::ParamTable[i] = {i % 2, 201 + i, 301 + i};
    Others::OutputParam = 77;
}
