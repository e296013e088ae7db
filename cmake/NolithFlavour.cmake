# Chooses the build flavour: `cuda` (nvcc, kernels on a GPU) or `host` (the
# same kernels compiled by the host compiler against our host runtime).
# `auto` picks cuda when a CUDA GPU is present and nvcc is found.

set(NOLITH_FLAVOUR "auto" CACHE STRING "Build flavour: auto, cuda or host")
set_property(CACHE NOLITH_FLAVOUR PROPERTY STRINGS auto cuda host)
# Machine code for every GPU generation nvcc 13 builds for that users own
# (Turing, Ampere, Jetson Orin, Ada, Hopper, Blackwell data centre and
# B300, Jetson Thor, Blackwell workstation and DGX Spark), and PTX at the
# lowest one ("75" = 75-real plus 75-virtual), which the driver compiles
# for any newer GPU.
set(NOLITH_CUDA_ARCHITECTURES "75;80-real;86-real;87-real;89-real;90-real;100-real;103-real;110-real;120-real;121-real"
    CACHE STRING "CUDA architectures of the cuda flavour (e.g. 90, or native)")

find_package(CUDAToolkit REQUIRED)

set(_flavour "${NOLITH_FLAVOUR}")
if(_flavour STREQUAL "auto")
  set(_flavour "host")
  find_program(_nvidia_smi nvidia-smi)
  if(_nvidia_smi)
    execute_process(COMMAND "${_nvidia_smi}" -L RESULT_VARIABLE _smi_status OUTPUT_VARIABLE _smi_out ERROR_QUIET)
    include(CheckLanguage)
    check_language(CUDA)
    if(_smi_status EQUAL 0 AND _smi_out MATCHES "GPU" AND CMAKE_CUDA_COMPILER)
      set(_flavour "cuda")
    endif()
  endif()
endif()
if(NOT _flavour MATCHES "^(cuda|host)$")
  message(FATAL_ERROR "NOLITH_FLAVOUR must be auto, cuda or host, not '${NOLITH_FLAVOUR}'")
endif()
set(NOLITH_FLAVOUR_RESOLVED "${_flavour}")
message(STATUS "nolith flavour: ${NOLITH_FLAVOUR_RESOLVED}")

# The CCCL headers (thrust, cub, libcu++) that ship with the toolkit.
set(NOLITH_CCCL_INCLUDE_DIR "")
foreach(_dir IN LISTS CUDAToolkit_INCLUDE_DIRS)
  if(EXISTS "${_dir}/cccl/thrust")
    set(NOLITH_CCCL_INCLUDE_DIR "${_dir}/cccl")
  endif()
endforeach()

if(NOLITH_FLAVOUR_RESOLVED STREQUAL "cuda")
  set(CMAKE_CUDA_ARCHITECTURES "${NOLITH_CUDA_ARCHITECTURES}")
  enable_language(CUDA)
  set(CMAKE_CUDA_STANDARD 17)
  set(CMAKE_CUDA_STANDARD_REQUIRED ON)
endif()

# nolith_gpu: what every kernel and backend source links against.
add_library(nolith_gpu INTERFACE)
if(NOLITH_FLAVOUR_RESOLVED STREQUAL "cuda")
  target_link_libraries(nolith_gpu INTERFACE CUDA::cudart_static)
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
