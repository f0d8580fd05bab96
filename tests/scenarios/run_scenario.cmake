# Runs one scenario script on tl500-sim and checks the outcome.
#
#   cmake -DSIM=<tl500-sim> -DSCRIPT=<x.tlscript> -DCONSOLE_LOG=<log file>
#         [-DBUILD_DATE=<__DATE__>] [-DBUILD_TIME=<__TIME__>]
#         [-DIMAGE=<tl500.elf> [-DSTACK_REPORT=<stack_usage.md>]] [-DEQUIVALENCE=ON] -P run_scenario.cmake
#
# With IMAGE the scenario runs the board image on the emulated core instead of
# the firmware built into tl500-sim; the console must be the same byte for
# byte, and the stack's high-water mark must stay under the 1 KiB stack and
# under the static estimate in STACK_REPORT. A missing image skips the test.
#
# The script's leading comment lines may hold
#   # args: --no-crystal --max-time 2s    extra arguments for tl500-sim
#   # exit: 1                             the exit status expected (default 0)
#   # stderr: TEXT                        a text standard error must contain
#   # stderr-once: TEXT                   a text standard error must contain once only
# When x.console lies beside the script, the console log must equal it byte for
# byte, after @BUILD_DATE@ and @BUILD_TIME@ in it have been replaced by the
# firmware's build date and time: tl500-sim checks it itself with
# --expect-console when it runs its own firmware; an image's banner carries
# the image's build date, so image runs are compared here. When x.zigbee lies
# beside the script, the bytes the board sent on USART3 must equal it byte for
# byte.
cmake_minimum_required(VERSION 3.25)

foreach(var SIM SCRIPT CONSOLE_LOG)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "run_scenario.cmake needs -D${var}=...")
  endif()
endforeach()

# Wall-clock limit of the run in seconds (-DRUN_TIMEOUT=..., for long runs).
if(NOT DEFINED RUN_TIMEOUT)
  set(RUN_TIMEOUT 280)
endif()

# ---------------------------------------------------------------- the header
set(extra_args "")
set(expected_exit 0)
set(expected_stderr "")
set(expected_stderr_once "")
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
  elseif(line MATCHES "^[ \t]*#[ \t]*stderr-once:[ \t]*(.*)$")
    list(APPEND expected_stderr_once "${CMAKE_MATCH_1}")
  endif()
endforeach()

get_filename_component(dir "${SCRIPT}" DIRECTORY)
get_filename_component(name "${SCRIPT}" NAME_WE)
set(expected_file "${dir}/${name}.console")
if(EXISTS "${expected_file}" AND NOT DEFINED IMAGE)
  list(APPEND extra_args --expect-console "${expected_file}")
endif()

# ---------------------------------------------------------------- skipping polls changes nothing
# Both runs also record every signal of the board (--vcd), unless the script
# names a trace of its own: the two traces must be the same file, every edge of
# every pin at the same picosecond. (With IMAGE both runs are of the board
# image on the emulated core.)
if(EQUIVALENCE)
  if(DEFINED IMAGE)
    if(NOT EXISTS "${IMAGE}")
      message(NOTICE "SKIPPED: no board image at ${IMAGE}: build the target preset first "
                     "(cmake --preset target && cmake --build --preset target)")
      return()
    endif()
    list(APPEND extra_args --image "${IMAGE}")
  endif()
  set(results "")
  set(own_trace OFF)
  if(";${extra_args};" MATCHES ";--vcd;")
    set(own_trace ON)
  endif()
  foreach(mode skip no-skip)
    set(log "${CONSOLE_LOG}.${mode}")
    set(mode_args "")
    if(mode STREQUAL "no-skip")
      set(mode_args --no-poll-skip)
    endif()
    file(REMOVE "${log}" "${log}.zigbee" "${log}.i2c" "${log}.vcd")
    if(NOT own_trace)
      list(APPEND mode_args --vcd "${log}.vcd" --vcd-timescale 1ps)
    endif()
    execute_process(
      COMMAND "${SIM}" --script "${SCRIPT}" --console-log "${log}" --zigbee-log "${log}.zigbee" --i2c-log "${log}.i2c"
              --stats ${mode_args} ${extra_args}
      RESULT_VARIABLE status_${mode}
      OUTPUT_VARIABLE out
      ERROR_VARIABLE err_${mode}
      TIMEOUT 280)
    string(REGEX MATCH "stats: virtual time [0-9.]+ s" time_${mode} "${err_${mode}}")
    # Every poll is made or let pass: the two add up to the same in both runs.
    set(polls_${mode} "")
    if(err_${mode} MATCHES "stats: ([0-9]+) register accesses, ([0-9]+) polls skipped")
      math(EXPR polls_${mode} "${CMAKE_MATCH_1} + ${CMAKE_MATCH_2}")
    endif()
    # A run refused before the board starts (a syntax error, a log that cannot
    # be opened) has no figures; one that ran must show them.
    if(time_${mode} STREQUAL "" AND status_${mode} EQUAL 0)
      message(FATAL_ERROR "${mode} run printed no virtual time:\n${err_${mode}}")
    endif()
    foreach(line console zigbee i2c)
      set(file "${log}")
      if(NOT line STREQUAL "console")
        set(file "${log}.${line}")
      endif()
      set(${line}_${mode} "")
      if(EXISTS "${file}")
        file(READ "${file}" ${line}_${mode} HEX)
      endif()
    endforeach()
  endforeach()
  if(NOT status_skip STREQUAL status_no-skip)
    message(FATAL_ERROR "exit status ${status_skip} with poll skipping, ${status_no-skip} without\n"
      "--- with:\n${err_skip}\n--- without:\n${err_no-skip}")
  endif()
  if(NOT time_skip STREQUAL time_no-skip)
    message(FATAL_ERROR "the runs end at different virtual times: ${time_skip} with poll skipping, "
      "${time_no-skip} without")
  endif()
  if(NOT console_skip STREQUAL console_no-skip)
    message(FATAL_ERROR "the console logs differ with and without poll skipping: ${CONSOLE_LOG}.skip, ${CONSOLE_LOG}.no-skip")
  endif()
  if(NOT zigbee_skip STREQUAL zigbee_no-skip)
    message(FATAL_ERROR "the ZigBee logs differ with and without poll skipping")
  endif()
  if(NOT own_trace)
    set(trace_skip "${CONSOLE_LOG}.skip.vcd")
    set(trace_no_skip "${CONSOLE_LOG}.no-skip.vcd")
    # A run refused before the board starts writes no trace; then neither may.
    if(EXISTS "${trace_skip}" AND NOT EXISTS "${trace_no_skip}" OR EXISTS "${trace_no_skip}" AND NOT EXISTS "${trace_skip}")
      message(FATAL_ERROR "only one of the two runs wrote its trace: ${trace_skip}, ${trace_no_skip}")
    endif()
    if(EXISTS "${trace_skip}")
      file(SHA256 "${trace_skip}" hash_skip)
      file(SHA256 "${trace_no_skip}" hash_no_skip)
      if(NOT hash_skip STREQUAL hash_no_skip)
        execute_process(COMMAND diff "${trace_skip}" "${trace_no_skip}" OUTPUT_VARIABLE trace_diff ERROR_QUIET)
        string(SUBSTRING "${trace_diff}" 0 2000 trace_diff)
        message(FATAL_ERROR "the pin traces differ with and without poll skipping: ${trace_skip}, ${trace_no_skip}\n"
          "first differences (diff):\n${trace_diff}")
      endif()
      # Only a trace that recorded something proves anything.
      file(SIZE "${trace_skip}" trace_bytes)
      if(status_skip EQUAL 0 AND trace_bytes LESS 200)
        message(FATAL_ERROR "the trace of the run holds almost nothing (${trace_bytes} bytes): ${trace_skip}")
      endif()
      file(REMOVE "${trace_skip}" "${trace_no_skip}")
    endif()
  endif()
  if(NOT i2c_skip STREQUAL i2c_no-skip)
    message(FATAL_ERROR "the I2C transactions differ with and without poll skipping: ${CONSOLE_LOG}.skip.i2c, "
      "${CONSOLE_LOG}.no-skip.i2c")
  endif()
  if(NOT polls_skip STREQUAL polls_no-skip)
    message(FATAL_ERROR "the runs make different numbers of polls: ${polls_skip} with poll skipping (accesses and "
      "polls let pass), ${polls_no-skip} without")
  endif()
  return()
endif()

# ---------------------------------------------------------------- the run
if(DEFINED IMAGE)
  if(NOT EXISTS "${IMAGE}")
    message(NOTICE "SKIPPED: no board image at ${IMAGE}: build the target preset first "
                   "(cmake --preset target && cmake --build --preset target)")
    return()
  endif()
  list(APPEND extra_args --image "${IMAGE}" --stats)
  # The banner shows the image's own build date and time, which may come from
  # another configure than this build's.
  file(STRINGS "${IMAGE}" image_date REGEX "^[A-Z][a-z][a-z] [ 0-9][0-9] [0-9][0-9][0-9][0-9]$" LIMIT_COUNT 1)
  file(STRINGS "${IMAGE}" image_time REGEX "^[0-2][0-9]:[0-5][0-9]:[0-5][0-9]$" LIMIT_COUNT 1)
  if(image_date AND image_time)
    set(BUILD_DATE "${image_date}")
    set(BUILD_TIME "${image_time}")
  endif()
endif()
file(REMOVE "${CONSOLE_LOG}" "${CONSOLE_LOG}.zigbee")
execute_process(
  COMMAND "${SIM}" --script "${SCRIPT}" --console-log "${CONSOLE_LOG}" --zigbee-log "${CONSOLE_LOG}.zigbee" ${extra_args}
  RESULT_VARIABLE status
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err
  TIMEOUT ${RUN_TIMEOUT})

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
foreach(text IN LISTS expected_stderr_once)
  string(FIND "${err}" "${text}" first)
  string(FIND "${err}" "${text}" last REVERSE)
  if(first EQUAL -1)
    message(FATAL_ERROR "scenario failed: standard error lacks \"${text}\"")
  elseif(NOT first EQUAL last)
    message(FATAL_ERROR "scenario failed: standard error holds \"${text}\" more than once")
  endif()
endforeach()

# ---------------------------------------------------------------- the image's stack
if(DEFINED IMAGE AND err MATCHES "stack high-water mark ([0-9]+) of ([0-9]+) bytes")
  set(high_water ${CMAKE_MATCH_1})
  set(stack_size ${CMAKE_MATCH_2})
  if(NOT high_water LESS stack_size)
    message(FATAL_ERROR "scenario failed: the stack's high-water mark ${high_water} reaches the ${stack_size}-byte stack")
  endif()
  if(DEFINED STACK_REPORT AND EXISTS "${STACK_REPORT}")
    file(READ "${STACK_REPORT}" report)
    if(report MATCHES "Worst case: \\*\\*([0-9]+) bytes")
      if(high_water GREATER CMAKE_MATCH_1)
        message(FATAL_ERROR "scenario failed: the stack's high-water mark ${high_water} beats the static estimate "
                            "of ${CMAKE_MATCH_1} bytes (${STACK_REPORT}): the estimate is not an upper bound")
      endif()
      message(STATUS "stack high-water mark ${high_water} bytes, static estimate ${CMAKE_MATCH_1}")
    endif()
  endif()
elseif(DEFINED IMAGE AND expected_exit EQUAL 0)
  message(FATAL_ERROR "scenario failed: tl500-sim --stats did not report the stack's high-water mark")
endif()

get_filename_component(dir "${SCRIPT}" DIRECTORY)
get_filename_component(name "${SCRIPT}" NAME_WE)
# ---------------------------------------------------------------- the ZigBee line
set(zigbee_expected "${dir}/${name}.zigbee")
if(EXISTS "${zigbee_expected}")
  file(READ "${zigbee_expected}" zigbee_want HEX)
  set(zigbee_got "")
  if(EXISTS "${CONSOLE_LOG}.zigbee")
    file(READ "${CONSOLE_LOG}.zigbee" zigbee_got HEX)
  endif()
  if(NOT zigbee_want STREQUAL zigbee_got)
    message(NOTICE
      "${run_line}\n"
      "the bytes the board sent on USART3 differ from ${zigbee_expected}\n"
      "  expected (hex): ${zigbee_want}\n"
      "  actual (hex):   ${zigbee_got}")
    message(FATAL_ERROR "scenario failed: the ZigBee log differs")
  endif()
endif()
# ---------------------------------------------------------------- the console
# (tl500-sim's --expect-console has compared it when it ran its own firmware.)
set(expected_file "${dir}/${name}.console")
if(NOT EXISTS "${expected_file}" OR NOT DEFINED IMAGE)
  return()
endif()
if(NOT EXISTS "${CONSOLE_LOG}")
  message(FATAL_ERROR "scenario failed: ${run_line}: no console log was written")
endif()

# Both files as byte lists ("41;42;0d;0a"), so that replacements and
# comparisons stay on byte boundaries whatever the bytes are.
function(read_bytes file out_var)
  file(READ "${file}" hex HEX)
  string(REGEX REPLACE "(..)" "\\1;" hex "${hex}")
  string(REGEX REPLACE ";$" "" hex "${hex}")
  set(${out_var} "${hex}" PARENT_SCOPE)
endfunction()

function(text_bytes text out_var)
  string(HEX "${text}" hex)
  string(REGEX REPLACE "(..)" "\\1;" hex "${hex}")
  string(REGEX REPLACE ";$" "" hex "${hex}")
  set(${out_var} "${hex}" PARENT_SCOPE)
endfunction()

read_bytes("${expected_file}" expected)
read_bytes("${CONSOLE_LOG}" actual)

# Placeholders for the build's date and time.
foreach(placeholder BUILD_DATE BUILD_TIME)
  text_bytes("@${placeholder}@" pattern)
  if(NOT ";${expected};" MATCHES ";${pattern};")
    continue()
  endif()
  if(NOT DEFINED ${placeholder} OR "${${placeholder}}" STREQUAL "")
    message(FATAL_ERROR "${expected_file} uses @${placeholder}@ but TL500_${placeholder} is not defined in the build")
  endif()
  text_bytes("${${placeholder}}" replacement)
  string(REPLACE ";${pattern};" ";${replacement};" expected ";${expected};")
  string(REGEX REPLACE "^;|;$" "" expected "${expected}")
endforeach()

if("${expected}" STREQUAL "${actual}")
  return()
endif()

# A readable difference: the first byte that differs and the bytes around it
# on both sides, in the script's own escaped notation.
function(escape_bytes bytes out_var)
  set(text "")
  foreach(byte IN LISTS bytes)
    math(EXPR code "0x${byte}")
    if(code EQUAL 13)
      string(APPEND text "\\r")
    elseif(code EQUAL 10)
      string(APPEND text "\\n")
    elseif(code EQUAL 9)
      string(APPEND text "\\t")
    elseif(code EQUAL 92)
      string(APPEND text "\\\\")
    elseif(code EQUAL 34)
      string(APPEND text "\\\"")
    elseif(code EQUAL 59)
      string(APPEND text "\\x3b")
    elseif(code GREATER_EQUAL 32 AND code LESS 127)
      string(ASCII ${code} char)
      string(APPEND text "${char}")
    else()
      string(APPEND text "\\x${byte}")
    endif()
  endforeach()
  set(${out_var} "${text}" PARENT_SCOPE)
endfunction()

# Bytes `from`..`from+count` of a byte list, clipped to its end.
function(slice bytes from count out_var)
  string(LENGTH "${bytes};" chars)
  math(EXPR first "${from} * 3")
  math(EXPR want "${count} * 3")
  set(result "")
  if(first LESS chars)
    string(SUBSTRING "${bytes};" ${first} ${want} result)
    string(REGEX REPLACE ";$" "" result "${result}")
  endif()
  set(${out_var} "${result}" PARENT_SCOPE)
endfunction()

list(LENGTH expected expected_length)
list(LENGTH actual actual_length)
# Longest common prefix, by bisection on the bytes' hex strings.
string(REPLACE ";" "" expected_hex "${expected}")
string(REPLACE ";" "" actual_hex "${actual}")
set(low 0)
set(high ${expected_length})
if(actual_length LESS high)
  set(high ${actual_length})
endif()
while(low LESS high)
  math(EXPR middle "(${low} + ${high} + 1) / 2")
  math(EXPR chars "${middle} * 2")
  string(SUBSTRING "${expected_hex}" 0 ${chars} e)
  string(SUBSTRING "${actual_hex}" 0 ${chars} a)
  if(e STREQUAL a)
    set(low ${middle})
  else()
    math(EXPR high "${middle} - 1")
  endif()
endwhile()
set(offset ${low})
slice("${expected}" 0 ${offset} prefix)
string(REGEX MATCHALL "0a" newlines "${prefix}")
list(LENGTH newlines line)
math(EXPR line "${line} + 1")

set(context 60)
set(before ${context})
if(offset LESS before)
  set(before ${offset})
endif()
math(EXPR start "${offset} - ${before}")
slice("${expected}" ${start} ${before} common)
slice("${expected}" ${offset} ${context} expected_next)
slice("${actual}" ${offset} ${context} actual_next)
escape_bytes("${common}" common_text)
escape_bytes("${expected_next}" expected_text)
escape_bytes("${actual_next}" actual_text)
message(NOTICE
  "${run_line}\n"
  "the console log differs from ${expected_file}\n"
  "  first difference at byte ${offset} (line ${line}); expected ${expected_length} bytes, got ${actual_length}\n"
  "  both:     \"${common_text}\"\n"
  "  expected: \"${expected_text}\"\n"
  "  actual:   \"${actual_text}\"\n"
  "  (escaped as in scripts; the last lines show what follows the common part)\n"
  "full log: ${CONSOLE_LOG}")
message(FATAL_ERROR "scenario failed: the console log differs at byte ${offset}")
