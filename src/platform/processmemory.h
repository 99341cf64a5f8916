#pragma once

// This process's memory as the system counts it, for the benchmark and the tests that
// watch a long run for growth. One file per platform, chosen by the build.

// Resident memory now, in bytes; -1 if the system will not say.
long long residentBytes();

// The most that was ever resident, in KiB; -1 if the system will not say.
long peakResidentKiB();
