// Reading radar files in a process of their own.
//
// libhdf5 1.10, which netCDF-4 files are read through as well, is not
// hardened against corrupted metadata: a damaged file can crash it, or
// corrupt the heap so that the program crashes later (of netCDF-4 files with
// 4 bytes of their first 4 KiB overwritten, about one in seven crashed the
// tool before it guarded against this). So that the tool answers such
// a file with an error instead of dying of it, the tool splits in two
// before it opens the first HDF5 or netCDF file: the child goes on with the
// command, the parent only waits for it and exits as the child did. A child
// that dies of a fault (SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL) becomes an
// error naming the file, exit status 2; a child ended by another signal (an
// interrupt, a closed pipe) ends the parent the same way, and interrupts
// and terminations sent to the parent alone are passed on to the child.
#pragma once

#include <string>

namespace common_dto {
namespace cli {

// Whether libhdf5 or netCDF-C would read `file`: the HDF5 signature where
// HDF5 looks for it (at 0, 512, 1024, 2048 ... bytes) or the netCDF classic
// magic at its start.
bool IsHdf5OrNetcdf(const std::string& file);

// Turns the guard on for this process (the tool's main() does; code that
// runs the commands in-process, like the fuzzers, does not).
void EnableCrashGuard();

// Before the first read of the HDF5 or netCDF file `file`: forks once, if the
// guard is on. Returns in the child (or when the guard is off, the file is
// neither HDF5 nor netCDF, or there is no fork); the parent exits with the
// child's status, or throws Fatal for `file` when the child crashed.
void GuardRead(const std::string& file);

}  // namespace cli
}  // namespace common_dto
