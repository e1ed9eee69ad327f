# Compiles a one-line source that includes HEADER, with the include roots of
# one layer's library (INCLUDES, separated by "|"), and checks the outcome:
# EXPECT "found" (a header of that layer or one below) or "not-found" (a
# header of a layer above, which must stop the build with the header named).
#   cmake -DCXX=... -DINCLUDES=a|b -DHEADER=agent/cmdagt.h -DEXPECT=not-found
#         -DWORK=dir -P include_check.cmake
foreach(var CXX INCLUDES HEADER EXPECT WORK)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "include_check: ${var} is not set")
  endif()
endforeach()
string(REPLACE "|" ";" roots "${INCLUDES}")
set(flags)
foreach(root ${roots})
  list(APPEND flags -I${root})
endforeach()
string(MAKE_C_IDENTIFIER "${HEADER}" stem)
set(probe ${WORK}/include_${stem}.cpp)
file(WRITE ${probe} "#include \"${HEADER}\"\n")
execute_process(COMMAND ${CXX} -std=c++20 -fsyntax-only ${flags} ${probe}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(EXPECT STREQUAL "found")
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "include_check: \"${HEADER}\" did not compile with ${roots}:\n${out}")
  endif()
elseif(EXPECT STREQUAL "not-found")
  if(status EQUAL 0)
    message(FATAL_ERROR "include_check: \"${HEADER}\" compiled with ${roots}, an include of a higher layer")
  endif()
  # The failure must be the missing header, not some other error.
  string(FIND "${out}" "${HEADER}" named)
  if(named EQUAL -1)
    message(FATAL_ERROR "include_check: \"${HEADER}\" failed for another reason:\n${out}")
  endif()
else()
  message(FATAL_ERROR "include_check: EXPECT is found or not-found, not ${EXPECT}")
endif()
