# The bridge must export exactly the 34 native methods of CU, must not define
# JNI_OnLoad, and must reach the driver by its soname with the fixed run path.
set(methods
  init driverVersion nvrtcVersion deviceCount device deviceName deviceAttribute totalMemory
  primaryContextRetain primaryContextRelease synchronize
  memAlloc memAllocManaged memFree memcpyHtoD memcpyDtoH memcpyDtoD memcpyDtoDAsync hostView
  compile moduleLoadData moduleUnload moduleGetFunction functionAttribute launchKernel
  streamCreate streamDestroy streamSynchronize streamWaitEvent
  eventCreate eventRecord eventQuery eventSynchronize eventDestroy)
set(expected "")
foreach(method IN LISTS methods)
  list(APPEND expected "Java_org_quenmoor_hardware_cuda_CU_${method}")
endforeach()
list(SORT expected)
list(LENGTH expected count)
if(NOT count EQUAL 34)
  message(FATAL_ERROR "the list of methods has ${count} entries")
endif()

execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${listing}")
set(exported "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^.* ([^ ]+)$" "\\1" name "${line}")
  list(APPEND exported "${name}")
endforeach()
list(SORT exported)
if(NOT exported STREQUAL expected)
  set(extra ${exported})
  list(REMOVE_ITEM extra ${expected})
  set(missing ${expected})
  list(REMOVE_ITEM missing ${exported})
  message(FATAL_ERROR "exports differ; extra: ${extra}; missing: ${missing}")
endif()

execute_process(COMMAND readelf -d ${LIBRARY} OUTPUT_VARIABLE dynamic RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "readelf failed on ${LIBRARY}")
endif()
foreach(required "NEEDED.*\\[libcuda\\.so\\.1\\]" "NEEDED.*\\[libnvrtc\\.so\\.13\\]"
                 "R(UN)?PATH.*\\[/usr/local/cuda/lib64\\]")
  if(NOT dynamic MATCHES "${required}")
    message(FATAL_ERROR "dynamic section lacks ${required}:\n${dynamic}")
  endif()
endforeach()
message(STATUS "exactly the 34 native methods exported; libcuda.so.1 and libnvrtc.so.13 reached through /usr/local/cuda/lib64")
