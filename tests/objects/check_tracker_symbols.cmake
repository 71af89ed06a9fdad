# Checks tracker-object.o: exactly the 22 tracker functions defined as global text symbols, the math
# routines left undefined, nothing from the C++ runtime. Run as: cmake -DNM=nm -DOBJECT=file.o -P this
cmake_minimum_required(VERSION 3.20)
set(tracker_functions
  get_tracker_size init_tracker reset_tracker set_quaternion_process_noise_cov_matrix
  set_imu_quaternion_observation_noise_cov_matrix set_position_observation_noise_cov_matrix
  set_motionless_thresh reset_orientation reset_orientation_local reset_position add_to_tracker_buffer
  run_tracker get_percent_disturb_magnetometer_data is_ready_to_initialize set_initial_quaternion predict
  run_accelerometer run_magnetometer_update call_ekf_quaternion imu_ekf_quaternion_tracker
  run_position_Kalman_filter apply_localization)
# The math routines the tracker calls; they must stay undefined so the linking program supplies them.
set(math_used
  matrix_mult_4_4 matrix_mult_6_4_4_4 matrix_mult_6_6_6_6 inverseM inverseM_magneto quaternion_product
  get_conjugate normalize_quaternion quaternion_rotate_vector)

if(NOT EXISTS "${OBJECT}")
  message(FATAL_ERROR "missing object file ${OBJECT}")
endif()
execute_process(COMMAND ${NM} -P "${OBJECT}" OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${OBJECT}")
endif()

set(errors "")
set(defined_text "")
set(undefined "")
string(REPLACE "\n" ";" lines "${listing}")
foreach(line IN LISTS lines)
  if(line STREQUAL "")
    continue()
  endif()
  string(REGEX MATCH "^([^ ]+) ([A-Za-z?]) ?" m "${line}")
  if(NOT m)
    list(APPEND errors "unparsed nm line: ${line}")
    continue()
  endif()
  set(name "${CMAKE_MATCH_1}")
  set(type "${CMAKE_MATCH_2}")
  if(type STREQUAL "U")
    list(APPEND undefined "${name}")
  elseif(type STREQUAL "T")
    list(APPEND defined_text "${name}")
  elseif(type MATCHES "^[A-Z]$")
    # Any other global definition (data, weak, unique, common) would clash in the linking program.
    list(APPEND errors "unexpected global symbol ${name} of type ${type}")
  endif()
endforeach()

foreach(f IN LISTS tracker_functions)
  if(NOT f IN_LIST defined_text)
    list(APPEND errors "${f} is not a defined global text symbol")
  endif()
endforeach()
foreach(name IN LISTS defined_text)
  if(NOT name IN_LIST tracker_functions)
    list(APPEND errors "unexpected global text symbol ${name}")
  endif()
endforeach()
foreach(f IN LISTS math_used)
  if(NOT f IN_LIST undefined)
    list(APPEND errors "math routine ${f} is not left undefined")
  endif()
endforeach()
foreach(name IN LISTS undefined)
  if(name MATCHES "^_Z" OR name MATCHES "^__cxa_" OR name MATCHES "^__gxx_")
    list(APPEND errors "undefined C++ runtime symbol ${name}")
  endif()
endforeach()

list(LENGTH defined_text n_defined)
if(errors)
  string(REPLACE ";" "\n  " text "${errors}")
  message(FATAL_ERROR "tracker-object.o check failed:\n  ${text}")
endif()
message(STATUS "tracker-object.o: ${n_defined} global text symbols; undefined: ${undefined}")
