# Chooses the build flavour: `cuda` (nvcc, kernels on a GPU) or `host` (the
# same kernels compiled by the host compiler against our host runtime), and
# finds what each needs of CUDA: nvcc and the toolkit's headers (the CUDA
# runtime's, the half and bfloat16 types, cooperative groups, CCCL's
# thrust/cub/libcu++). They come from a system CUDA toolkit where there is
# one, else from NVIDIA's packages on PyPI installed into the Python
# environment of the build (build_backend/ makes them build requirements
# where no toolkit is found).
#
# `auto` picks cuda whenever nvcc is found, with or without a GPU on the
# build machine (clusters build on login nodes without GPUs); host only when
# asked for, or when there is no nvcc at all, and then it says so.

set(NOLITH_FLAVOUR "auto" CACHE STRING "Build flavour: auto, cuda or host")
set_property(CACHE NOLITH_FLAVOUR PROPERTY STRINGS auto cuda host)
if(NOT NOLITH_FLAVOUR MATCHES "^(auto|cuda|host)$")
  message(FATAL_ERROR "NOLITH_FLAVOUR must be auto, cuda or host, not '${NOLITH_FLAVOUR}'")
endif()
# Machine code for every GPU generation nvcc 13 builds for that users own
# (Turing, Ampere, Jetson Orin, Ada, Hopper, Blackwell data centre and
# B300, Jetson Thor, Blackwell workstation and DGX Spark), and PTX at the
# lowest one ("75" = 75-real plus 75-virtual), which the driver compiles
# for any newer GPU.
set(NOLITH_CUDA_ARCHITECTURES "75;80-real;86-real;87-real;89-real;90-real;100-real;103-real;110-real;120-real;121-real"
    CACHE STRING "CUDA architectures of the cuda flavour (e.g. 90, or native)")

# The roots (nvidia/cu13) of NVIDIA's PyPI packages importable by the
# build's Python.
function(nolith_pypi_cuda_roots out)
  set(python "${Python_EXECUTABLE}")
  if(NOT python)
    find_program(python NAMES python3 python)
  endif()
  set(roots "")
  if(python)
    execute_process(COMMAND "${python}" -c "import nvidia; print(';'.join(nvidia.__path__))"
                    OUTPUT_VARIABLE dirs OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE status)
    if(status EQUAL 0)
      foreach(dir IN LISTS dirs)
        file(GLOB found LIST_DIRECTORIES true "${dir}/cu[0-9]*")
        list(APPEND roots ${found})
      endforeach()
    endif()
  endif()
  set(${out} "${roots}" PARENT_SCOPE)
endfunction()

set(_pypi_packages_hint "pip install -r build_backend/cuda-compiler.txt (nvcc and headers) or -r build_backend/cuda-headers.txt (headers only)")

# nvcc: CUDACXX, PATH, CUDA_PATH / CUDA_HOME, the usual /usr/local/cuda, or
# the nvidia-cuda-nvcc package.
if(NOT NOLITH_FLAVOUR STREQUAL "host")
  if(NOT DEFINED CMAKE_CUDA_COMPILER AND NOT DEFINED ENV{CUDACXX})
    if(NOLITH_NVCC AND NOT EXISTS "${NOLITH_NVCC}")
      unset(NOLITH_NVCC CACHE)  # an isolated pip build's temporary one
    endif()
    find_program(NOLITH_NVCC nvcc HINTS ENV CUDA_PATH ENV CUDA_HOME /usr/local/cuda PATH_SUFFIXES bin)
    if(NOT NOLITH_NVCC)
      nolith_pypi_cuda_roots(_roots)
      find_program(NOLITH_NVCC nvcc PATHS ${_roots} PATH_SUFFIXES bin NO_DEFAULT_PATH)
      if(NOLITH_NVCC)
        # The packages keep the runtime's libraries in lib/, where nvcc's
        # own profile looks in lib64/.
        get_filename_component(_root "${NOLITH_NVCC}" DIRECTORY)
        get_filename_component(_root "${_root}" DIRECTORY)
        string(APPEND CMAKE_CUDA_FLAGS " -L${_root}/lib")
      endif()
    endif()
    if(NOLITH_NVCC)
      set(CMAKE_CUDA_COMPILER "${NOLITH_NVCC}")
    endif()
  endif()
  include(CheckLanguage)
  check_language(CUDA)
endif()

set(_flavour "${NOLITH_FLAVOUR}")
if(_flavour STREQUAL "auto")
  if(CMAKE_CUDA_COMPILER)
    set(_flavour "cuda")
  else()
    set(_flavour "host")
    message(WARNING "nolith: no nvcc found (no CUDA toolkit, no nvidia-cuda-nvcc package): building the HOST "
                    "flavour, which runs the kernels on the CPU and takes CPU arrays. For the GPU build install a "
                    "CUDA toolkit or ${_pypi_packages_hint}; set NOLITH_FLAVOUR=host to silence this.")
  endif()
elseif(_flavour STREQUAL "cuda" AND NOT CMAKE_CUDA_COMPILER)
  message(FATAL_ERROR "NOLITH_FLAVOUR=cuda needs nvcc: install a CUDA toolkit (or set CUDACXX) or ${_pypi_packages_hint}")
endif()
set(NOLITH_FLAVOUR_RESOLVED "${_flavour}")
message(STATUS "nolith flavour: ${NOLITH_FLAVOUR_RESOLVED}")

# The headers: nvcc's own toolkit in the cuda flavour; in the host flavour
# a system toolkit's, else the PyPI packages'.
if(NOLITH_FLAVOUR_RESOLVED STREQUAL "cuda")
  set(CMAKE_CUDA_ARCHITECTURES "${NOLITH_CUDA_ARCHITECTURES}")
  enable_language(CUDA)
  set(CMAKE_CUDA_STANDARD 17)
  set(CMAKE_CUDA_STANDARD_REQUIRED ON)
  find_package(CUDAToolkit QUIET)
  if(CUDAToolkit_FOUND)
    set(NOLITH_CUDA_INCLUDE_DIRS ${CUDAToolkit_INCLUDE_DIRS})
    set(NOLITH_CUDART CUDA::cudart_static)
  else()
    # nvcc from the PyPI packages, whose layout FindCUDAToolkit does not
    # know: the runtime's static library beside its headers.
    get_filename_component(_root "${CMAKE_CUDA_COMPILER}" DIRECTORY)
    get_filename_component(_root "${_root}" DIRECTORY)
    unset(NOLITH_CUDART_LIBRARY CACHE)
    find_library(NOLITH_CUDART_LIBRARY libcudart_static.a PATHS "${_root}/lib" "${_root}/lib64" NO_DEFAULT_PATH)
    if(NOT NOLITH_CUDART_LIBRARY)
      message(FATAL_ERROR "libcudart_static.a not found beside ${CMAKE_CUDA_COMPILER}: ${_pypi_packages_hint}")
    endif()
    find_package(Threads REQUIRED)
    set(NOLITH_CUDA_INCLUDE_DIRS ${CMAKE_CUDA_TOOLKIT_INCLUDE_DIRECTORIES})
    set(NOLITH_CUDART ${NOLITH_CUDART_LIBRARY} Threads::Threads ${CMAKE_DL_LIBS} rt)
  endif()
else()
  find_package(CUDAToolkit QUIET)
  if(CUDAToolkit_FOUND)
    set(NOLITH_CUDA_INCLUDE_DIRS ${CUDAToolkit_INCLUDE_DIRS})
  else()
    nolith_pypi_cuda_roots(_roots)
    # Looked up afresh each time: an isolated pip build's packages live in a
    # temporary folder.
    unset(NOLITH_CUDA_INCLUDE_DIR CACHE)
    find_path(NOLITH_CUDA_INCLUDE_DIR cuda_runtime.h PATHS ${_roots} PATH_SUFFIXES include NO_DEFAULT_PATH)
    if(NOT NOLITH_CUDA_INCLUDE_DIR)
      message(FATAL_ERROR "nolith's host flavour needs the CUDA headers: install a CUDA toolkit or ${_pypi_packages_hint}")
    endif()
    set(NOLITH_CUDA_INCLUDE_DIRS "${NOLITH_CUDA_INCLUDE_DIR}")
  endif()
endif()
message(STATUS "nolith CUDA headers: ${NOLITH_CUDA_INCLUDE_DIRS}")

# The CCCL headers (thrust, cub, libcu++) among them.
set(NOLITH_CCCL_INCLUDE_DIR "")
foreach(_dir IN LISTS NOLITH_CUDA_INCLUDE_DIRS)
  if(EXISTS "${_dir}/cccl/thrust")
    set(NOLITH_CCCL_INCLUDE_DIR "${_dir}/cccl")
  endif()
endforeach()
if(NOT NOLITH_CCCL_INCLUDE_DIR)
  message(FATAL_ERROR "CCCL's headers (cccl/thrust) not found under ${NOLITH_CUDA_INCLUDE_DIRS}: ${_pypi_packages_hint}")
endif()

# nolith_gpu: what every kernel and backend source links against.
add_library(nolith_gpu INTERFACE)
if(NOLITH_FLAVOUR_RESOLVED STREQUAL "cuda")
  target_link_libraries(nolith_gpu INTERFACE ${NOLITH_CUDART})
  target_include_directories(nolith_gpu INTERFACE ${NOLITH_CUDA_INCLUDE_DIRS})
  target_compile_options(nolith_gpu INTERFACE
    $<$<COMPILE_LANGUAGE:CUDA>:--use_fast_math --expt-relaxed-constexpr -Xcompiler=-fPIC>)
else()
  target_link_libraries(nolith_gpu INTERFACE nolith_host_runtime)
  target_compile_definitions(nolith_gpu INTERFACE NOLITH_HOST_FLAVOUR=1)
endif()

# Adds CUDA sources (.cu) to a target: compiled by nvcc in the cuda flavour,
# and as C++ by the host compiler in the host flavour.
function(nolith_cuda_sources target)
  target_sources(${target} PRIVATE ${ARGN})
  if(NOLITH_FLAVOUR_RESOLVED STREQUAL "host")
    set_source_files_properties(${ARGN} TARGET_DIRECTORY ${target} PROPERTIES LANGUAGE CXX COMPILE_OPTIONS "-xc++")
  endif()
endfunction()
