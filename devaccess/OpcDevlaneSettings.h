// The two settings the device-access layer reads. The address space's
// settings record derives from this one, so the layer below it needs no
// address-space header. Written while the configuration loads, read without
// a lock afterwards.
#pragma once

struct SOpcDevlaneSettings
{
    // Simulated values: the library is neither started nor called.
    bool simulationEnabled = true;
    // No records and no messages to the runtime's own log.
    bool outputLogDisable = false;
};
