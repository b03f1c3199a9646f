# cmake -DPYTHON=<python> -DSCRIPT=<check-rooms.py> -DROOT=<rooms_bad> -P check_rooms_rejects.cmake
# The check of the rooms must fail on a fixture whose low room includes a
# header of the room above it, naming the file, the include and the rule,
# and must leave the allowed include (high uses low) alone.
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${PYTHON} ${SCRIPT} ${ROOT} room_ low= high=room_low
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
message(STATUS "${out}${err}")
if(rc EQUAL 0)
    message(FATAL_ERROR "the check passed a forbidden include")
endif()
if(NOT out MATCHES "forbidden: [^\n]*low/src/low\\.cpp: #include \"high\\.h\" is in high/; low may use no other room")
    message(FATAL_ERROR "the check did not name the file, the include and the rule")
endif()
if(NOT out MATCHES "2 rooms, 4 files, 1 problems")
    message(FATAL_ERROR "the check did not find exactly the one forbidden include")
endif()
