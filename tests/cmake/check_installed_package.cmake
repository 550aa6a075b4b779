# Configures the sources without tests, with GoogleTest made unfindable (any
# find_package(GTest) then fails the configure), installs them into a
# scratch prefix, then configures, builds and runs a small program that
# finds the headers with find_package(vexel).
file(REMOVE_RECURSE ${WORK_DIR})
set(tools -G ${GENERATOR} -DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM} -DCMAKE_CXX_COMPILER=${CXX})
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/vexel ${tools}
  -DVEXEL_BUILD_TESTS=OFF -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "configuring without tests failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --install ${WORK_DIR}/vexel --prefix ${WORK_DIR}/prefix
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "install failed")
endif()
if(NOT EXISTS ${WORK_DIR}/prefix/share/cmake/vexel/vexelConfig.cmake)
  message(FATAL_ERROR "the CMake package is not under share/cmake/vexel")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/build ${tools}
  -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "find_package(vexel) failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/build RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "the consumer did not build against the installed headers")
endif()
execute_process(COMMAND ${WORK_DIR}/build/consumer RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "the consumer gave a wrong answer")
endif()
