# Coverage-guided fuzz targets (libFuzzer), built with clang in their own
# build directory by scripts/fuzz: the library's objects carry coverage
# (-fsanitize=fuzzer-no-link), the targets link libFuzzer's driver. The
# seeded reply driver is built beside them: it writes the seeds in the
# replies target's input layout (--corpus).
foreach(target replies fetch unmarshall)
  add_executable(bqx_libfuzz_${target} ${CMAKE_CURRENT_LIST_DIR}/libfuzz_${target}.cpp)
  target_include_directories(bqx_libfuzz_${target} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_compile_options(bqx_libfuzz_${target} PRIVATE -fsanitize=fuzzer)
  target_link_options(bqx_libfuzz_${target} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(bqx_libfuzz_${target} PRIVATE bqx_static)
endforeach()

add_executable(bqx_fuzz_replies ${CMAKE_CURRENT_LIST_DIR}/fuzz_replies.cpp)
target_include_directories(bqx_fuzz_replies PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_options(bqx_fuzz_replies PRIVATE -fsanitize=fuzzer-no-link)
target_link_libraries(bqx_fuzz_replies PRIVATE bqx_static)
