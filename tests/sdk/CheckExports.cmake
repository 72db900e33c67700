# Checks that LIB's dynamic symbol table defines exactly the exports listed
# here (the 27 and the extensions), each once, and nothing else.
set(expected
  QNVNet_GetSdkVersion QNVNet_SetCallback QNVNet_InitLib QNVNet_UnInitLib
  QNVNet_DevLogin QNVNet_DevLogout
  QNVNet_LiveOpen QNVNet_LiveClose QNVNet_LivePause QNVNet_LivePlay QNVNet_LiveCapture
  QNVNet_LiveSaveOpen QNVNet_LiveSaveClose
  QNVNet_PTZCtrlSend QNVNet_PTZCtrlPreset QNVNet_PTZGetParam
  QNVNet_ManageGetSysConfig QNVNet_ManageSetSysConfig QNVNet_ManageSendSysCmd
  QNVNet_ManageSysUpdateData QNVNet_ManageSysUpdateStart
  QNVNet_RuleDownLoad QNVNet_RuleUpLoad QNVNet_RuleEnable QNVNet_IsRuleEnable
  QNVNet_AlgorGetParam QNVNet_AlgorSetParam
  # Extensions
  QNVNet_LiveSaveRollover
  QNVNet_LiveSetPreRecord
)
execute_process(COMMAND nm -D --defined-only ${LIB} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(found)
foreach(line ${lines})
  if(line MATCHES " [TtWw] ")
    # A C++ name is mangled as _Z<length><name><parameters>; a C name is bare.
    if(line MATCHES "_Z([0-9]+)(QNVNet_[A-Za-z0-9_]+)")
      string(SUBSTRING "${CMAKE_MATCH_2}" 0 ${CMAKE_MATCH_1} name)
    elseif(line MATCHES " (QNVNet_[A-Za-z0-9_]+)$")
      set(name "${CMAKE_MATCH_1}")
    else()
      message(FATAL_ERROR "unexpected exported function: ${line}")
    endif()
    list(APPEND found ${name})
  elseif(line MATCHES "QNVNet_")
    message(FATAL_ERROR "unexpected symbol: ${line}")
  endif()
endforeach()
list(LENGTH found count)
list(LENGTH expected want)
set(sorted_found ${found})
set(sorted_expected ${expected})
list(SORT sorted_found)
list(SORT sorted_expected)
if(NOT sorted_found STREQUAL sorted_expected)
  message(FATAL_ERROR "expected ${want} exports:\n${sorted_expected}\nfound ${count}:\n${sorted_found}")
endif()
message(STATUS "${count} exports, nothing else")
