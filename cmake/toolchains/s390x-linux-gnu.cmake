# SPDX-License-Identifier: MIT
# Cross build for big-endian IBM Z, run under qemu-s390x.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(cross_triplet s390x-linux-gnu)
set(cross_qemu qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
