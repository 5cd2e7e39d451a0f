#!/bin/sh
# Compiler and linker launcher for Windows test programs: runs the posix thread
# model variant of the mingw compiler that CMake names in $1. GoogleTest needs
# std::mutex, which the win32 thread model's C++ library lacks; the product
# itself keeps the win32 model.
set -eu
compiler=$1
shift
exec "${compiler%-win32}-posix" "$@"
