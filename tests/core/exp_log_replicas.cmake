# The lane replicas of the libm's exp and log (core/vector_exp_log.hpp)
# against the process's libm, included by tests/core/CMakeLists.txt. The batch
# functions of every (target, width, variant) live in a shared object, so that
# the libm calls made from a shared object are exercised too (the stand-in
# test). See docs/libm_replicas.md.
enable_language(C)
find_package(Python 3.12 REQUIRED COMPONENTS Interpreter)
find_program(KESTRELFIN_OBJDUMP objdump REQUIRED)
set(KESTRELFIN_REPOSITORY_ROOT "${CMAKE_CURRENT_SOURCE_DIR}/../..")

# Exact floating point (no contraction into FMAs, no value-changing
# optimisation) and the repository root on the include path: the root
# project's interface targets where the tests are built as part of it, the
# same flags otherwise.
function(kestrelfin_exp_log_settings target)
  if(TARGET kestrelfin_exact_fp)
    target_link_libraries(${target} PRIVATE kestrelfin_exact_fp)
  else()
    target_compile_options(${target} PRIVATE -ffp-contract=off -fno-fast-math -fno-finite-math-only)
    target_include_directories(${target} PRIVATE "${KESTRELFIN_REPOSITORY_ROOT}")
  endif()
  if(TARGET kestrelfin_warnings)
    target_link_libraries(${target} PRIVATE kestrelfin_warnings)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wno-psabi)
  endif()
endfunction()

add_library(exp_log_batches SHARED exp_log_batches.cpp)
kestrelfin_exp_log_settings(exp_log_batches)
target_include_directories(exp_log_batches PUBLIC "${KESTRELFIN_REPOSITORY_ROOT}" "${CMAKE_CURRENT_SOURCE_DIR}")
target_link_libraries(exp_log_batches PUBLIC m)
# Its functions are called from the test programs (the root project hides
# symbols by default).
set_target_properties(exp_log_batches PROPERTIES CXX_VISIBILITY_PRESET default VISIBILITY_INLINES_HIDDEN OFF)

add_executable(exp_log_replica_tests test_vector_exp_log.cpp test_exp_log_self_check.cpp)
kestrelfin_exp_log_settings(exp_log_replica_tests)
target_link_libraries(exp_log_replica_tests PRIVATE exp_log_batches GTest::gtest_main)
gtest_discover_tests(exp_log_replica_tests)
# The same suite in a process whose libm is the build without FMA (glibc's
# AVX build; its SSE2 build computes identically), where the unfused
# replicas are the ones compared.
add_test(NAME exp_log_replica_tests.libm_without_fma COMMAND exp_log_replica_tests)
set_tests_properties(exp_log_replica_tests.libm_without_fma PROPERTIES
  ENVIRONMENT "GLIBC_TUNABLES=glibc.cpu.hwcaps=-FMA,-AVX2")

# A libm whose exp and log differ from every build: preloaded, it must make
# the run-time check reject every replica.
add_library(standin_libm SHARED standin_libm.c)
kestrelfin_exp_log_settings(standin_libm)
target_link_libraries(standin_libm PRIVATE ${CMAKE_DL_LIBS})
add_executable(standin_libm_tests test_standin_libm.cpp)
kestrelfin_exp_log_settings(standin_libm_tests)
target_link_libraries(standin_libm_tests PRIVATE exp_log_batches GTest::gtest_main ${CMAKE_DL_LIBS})
add_test(NAME standin_libm_makes_the_check_reject_every_replica COMMAND standin_libm_tests)
set_tests_properties(standin_libm_makes_the_check_reject_every_replica PROPERTIES
  ENVIRONMENT "LD_PRELOAD=$<TARGET_FILE:standin_libm>")

# The machine code of the batch functions: vector FMAs where fused, none where not.
add_test(NAME exp_log_replica_machine_code
  COMMAND "${Python_EXECUTABLE}" "${CMAKE_CURRENT_SOURCE_DIR}/check_replica_code.py"
          "${KESTRELFIN_OBJDUMP}" $<TARGET_FILE:exp_log_batches>)

# The tables and constants against the running libm and mpmath (against the
# libm alone where the interpreter has no mpmath, as the build environment).
add_test(NAME libm_exp_log_data_matches_the_libm
  COMMAND "${Python_EXECUTABLE}" "${KESTRELFIN_REPOSITORY_ROOT}/scripts/libm_exp_log_tables.py"
          --check "${KESTRELFIN_REPOSITORY_ROOT}/core/libm_exp_log_data.hpp")

# Programs that are not tests (see docs/libm_replicas.md): the 10^9-input
# comparison, the search for inputs on which the two libm builds differ, and
# the benchmark.
add_executable(exp_log_long_comparison exp_log_long_comparison.cpp)
kestrelfin_exp_log_settings(exp_log_long_comparison)
target_link_libraries(exp_log_long_comparison PRIVATE exp_log_batches)
add_executable(exp_log_variant_witnesses exp_log_variant_witnesses.cpp)
kestrelfin_exp_log_settings(exp_log_variant_witnesses)
target_link_libraries(exp_log_variant_witnesses PRIVATE m)
add_executable(exp_log_lanes_benchmark "${KESTRELFIN_REPOSITORY_ROOT}/benchmarks/exp_log_lanes.cpp")
kestrelfin_exp_log_settings(exp_log_lanes_benchmark)
target_link_libraries(exp_log_lanes_benchmark PRIVATE exp_log_batches)
