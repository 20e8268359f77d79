# Checks of a cross build beyond its own drivers' verdicts (included by the
# main CMakeLists.txt when the drivers are built): no core object holds a fused
# multiply-add, and each fixed-seed hash equals the one a build for the host
# machine prints (VELK_HOST_CHECKS names that build's directory).
if(NOT CMAKE_CROSSCOMPILING)
  return()
endif()

set(VELK_HOST_CHECKS "" CACHE PATH "Host build directory of the check drivers, whose hashes the cross build must match")

add_test(NAME no_fused_multiply_add
  COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DLIBRARY=$<TARGET_FILE:velk_core>
          -P ${CMAKE_CURRENT_LIST_DIR}/cross_check.cmake)

if(VELK_HOST_CHECKS)
  # Driver and arguments of each hashed pass; the hash is the first
  # 16-hex-digit word of the driver's last line.
  set(_velk_hashed_runs "kernel_check hash 30011 100 7" "flat_search_check" "batch_search_check hash")
  # Every compact storage type too: the NEON widening against the host's.
  foreach(storage float16 bfloat16 int8 uint8)
    list(APPEND _velk_hashed_runs "kernel_check hash 30011 100 7 ${storage}" "batch_search_check hash ${storage}")
  endforeach()
  foreach(run IN LISTS _velk_hashed_runs)
    separate_arguments(run)
    list(POP_FRONT run driver)
    set(arguments ${run})
    string(REPLACE ";" "_" label "${driver};${arguments}")
    string(REGEX REPLACE "_$" "" label "${label}")
    add_test(NAME hash_matches_host_${label}
      COMMAND ${CMAKE_COMMAND} "-DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}" -DCROSS=$<TARGET_FILE:${driver}>
              -DHOST=${VELK_HOST_CHECKS}/${driver} "-DARGUMENTS=${arguments}"
              -P ${CMAKE_CURRENT_LIST_DIR}/cross_check.cmake)
    set_tests_properties(hash_matches_host_${label} PROPERTIES ENVIRONMENT RAYON_NUM_THREADS=3)
  endforeach()
endif()
