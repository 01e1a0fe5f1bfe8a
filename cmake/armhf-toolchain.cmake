# Debian's cross compiler for 32-bit ARM (hard float). The interpreter's headers
# are the build machine's: /usr/include/python3.11/pyconfig.h picks the armhf
# configuration by the compiler's target macros, from the folder that
# scripts/test-armhf.sh adds (the armhf root's libpython3.11-dev).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# pybind11 asks the build machine's interpreter for its settings; these are the
# ones that differ for the target.
set(PYTHON_MODULE_EXTENSION .cpython-311-arm-linux-gnueabihf.so CACHE STRING "" FORCE)
set(PYTHON_SIZEOF_VOID_P 4 CACHE STRING "" FORCE)
set(PYTHON_MULTIARCH arm-linux-gnueabihf CACHE STRING "" FORCE)
set(PYBIND11_PYTHONLIBS_OVERWRITE OFF CACHE BOOL "" FORCE)
