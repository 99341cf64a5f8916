#pragma once

// This process's memory and processor time as the system counts them, for the
// benchmark and the tests that watch a long run for growth or a wait for spinning. One
// file per platform, chosen by the build.

// Resident memory now, in bytes; -1 if the system will not say.
long long residentBytes();

// The most that was ever resident, in KiB; -1 if the system will not say.
long peakResidentKiB();

// Processor time this process has used, user and system, in milliseconds. (The C
// library's clock() is that on Linux, but the time since start-up on Windows.)
double processorMs();
