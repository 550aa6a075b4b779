# Installs the built tree into a scratch prefix, then configures, builds and
# runs a small program that finds the headers with find_package(vexel).
file(REMOVE_RECURSE ${WORK_DIR})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "install failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/build -G ${GENERATOR}
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
