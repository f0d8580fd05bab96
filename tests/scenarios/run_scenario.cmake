# Runs one scenario script on tl500-sim and checks the outcome.
#
#   cmake -DSIM=<tl500-sim> -DSCRIPT=<x.tlscript> -DCONSOLE_LOG=<log file> -P run_scenario.cmake
#
# The script's leading comment lines may hold
#   # args: --no-crystal --max-time 2s    extra arguments for tl500-sim
#   # exit: 1                             the exit status expected (default 0)
#   # stderr: TEXT                        a text standard error must contain
# When x.console lies beside the script, tl500-sim compares the console output
# with it byte for byte (--expect-console: @BUILD_DATE@ and @BUILD_TIME@ in it
# stand for the firmware's build date and time) and a difference fails the run.
cmake_minimum_required(VERSION 3.25)

foreach(var SIM SCRIPT CONSOLE_LOG)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "run_scenario.cmake needs -D${var}=...")
  endif()
endforeach()

# ---------------------------------------------------------------- the header
set(extra_args "")
set(expected_exit 0)
set(expected_stderr "")
file(STRINGS "${SCRIPT}" lines)
foreach(line IN LISTS lines)
  if(NOT line MATCHES "^[ \t]*#")
    break()
  endif()
  if(line MATCHES "^[ \t]*#[ \t]*args:[ \t]*(.*)$")
    separate_arguments(more UNIX_COMMAND "${CMAKE_MATCH_1}")
    list(APPEND extra_args ${more})
  elseif(line MATCHES "^[ \t]*#[ \t]*exit:[ \t]*([0-9]+)[ \t]*$")
    set(expected_exit ${CMAKE_MATCH_1})
  elseif(line MATCHES "^[ \t]*#[ \t]*stderr:[ \t]*(.*)$")
    list(APPEND expected_stderr "${CMAKE_MATCH_1}")
  endif()
endforeach()

get_filename_component(dir "${SCRIPT}" DIRECTORY)
get_filename_component(name "${SCRIPT}" NAME_WE)
set(expected_file "${dir}/${name}.console")
if(EXISTS "${expected_file}")
  list(APPEND extra_args --expect-console "${expected_file}")
endif()

# ---------------------------------------------------------------- the run
file(REMOVE "${CONSOLE_LOG}")
execute_process(
  COMMAND "${SIM}" --script "${SCRIPT}" --console-log "${CONSOLE_LOG}" ${extra_args}
  RESULT_VARIABLE status
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err
  TIMEOUT 280)

set(run_line "tl500-sim --script ${SCRIPT} --console-log ${CONSOLE_LOG}")
if(extra_args)
  list(JOIN extra_args " " joined)
  string(APPEND run_line " ${joined}")
endif()

if(NOT status STREQUAL "${expected_exit}")
  message(NOTICE
    "${run_line}\n"
    "exit status ${status}, expected ${expected_exit}\n"
    "--- standard output:\n${out}\n"
    "--- standard error:\n${err}")
  message(FATAL_ERROR "scenario failed: exit status ${status}, expected ${expected_exit}")
endif()
if(err)
  message(STATUS "standard error of tl500-sim:\n${err}")
endif()
foreach(text IN LISTS expected_stderr)
  string(FIND "${err}" "${text}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "scenario failed: standard error lacks \"${text}\"")
  endif()
endforeach()
