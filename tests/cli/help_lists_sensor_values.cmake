# tl500-sim --help names every sensor value with its unit, range and default.
#   cmake -DSIM=<tl500-sim> -P help_lists_sensor_values.cmake
execute_process(COMMAND "${SIM}" --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "tl500-sim --help exited ${status}")
endif()
foreach(entry
    "htu21.temperature +degC +-40..125 +23.4"
    "htu21.temperature.raw +count +0..65535"
    "htu21.humidity +%RH +0..100 +45"
    "htu21.humidity.raw +count"
    "lps25h.pressure +hPa +260..1260 +1013.25"
    "lps25h.pressure.raw +count"
    "lps25h.temperature +degC +-30..105 +25.4"
    "lps25h.temperature.raw +count"
    "bh17.lux +lx +0..54612.5 +333.3"
    "bh17.lux.raw +count"
    "mpu9150.accel +g +-16..16 +0 0 1"
    "mpu9150.accel.raw +count"
    "mpu9150.gyro +deg/s +-2000..2000 +0 0 0"
    "mpu9150.gyro.raw +count"
    "mpu9150.temperature +degC"
    "mpu9150.mag +uT +-1229..1229"
    "mpu9150.mag.raw +count"
    "pir.motion +on.off +on.off +off")
  if(NOT help MATCHES "${entry}")
    message(FATAL_ERROR "--help lacks a line matching '${entry}'")
  endif()
endforeach()
