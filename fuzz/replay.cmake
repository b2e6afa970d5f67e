# The fuzz targets built without libFuzzer, replaying the kept corpus and the
# crash inputs as ordinary tests.
set(FUZZ_DIR ${CMAKE_CURRENT_LIST_DIR})
foreach(target hexfile link_replies)
  add_executable(replay_${target} ${FUZZ_DIR}/${target}_fuzz.cpp ${FUZZ_DIR}/replay_main.cpp)
  add_test(NAME fuzz_corpus_${target}
           COMMAND replay_${target} ${FUZZ_DIR}/corpus/${target} ${FUZZ_DIR}/crashes/${target})
endforeach()
target_link_libraries(replay_hexfile PRIVATE corvane_hexfile)
target_link_libraries(replay_link_replies PRIVATE corvane_link)
