cmake_minimum_required(VERSION 3.25)
# Checks that LIB's dynamic symbol table defines exactly the functions that the
# public headers declare (HEADER_CXX's QNVNet_ exports, HEADER_C's qnvnet_
# functions) and that the original 27 exports are among them.
execute_process(COMMAND nm -D --defined-only ${LIB} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
execute_process(COMMAND nm -D --defined-only -C ${LIB} OUTPUT_VARIABLE demangled)

file(READ ${HEADER_CXX} cxx)
file(READ ${HEADER_C} c)
string(REGEX MATCHALL "QNVNET_API [a-z0-9_]+ (QNVNet_[A-Za-z]+)\\(" cxx_decls "${cxx}")
string(REGEX MATCHALL "QNVNET_C_API [a-z0-9_ ]+\\*? ?(qnvnet_[a-z_]+)\\(" c_decls "${c}")
set(declared "")
foreach(d ${cxx_decls} ${c_decls})
  string(REGEX MATCH "(QNVNet_[A-Za-z]+|qnvnet_[a-z_]+)" name "${d}")
  list(APPEND declared ${name})
endforeach()

set(found "")
string(REGEX MATCHALL "[^\n]+" lines "${demangled}")
foreach(line ${lines})
  if(line MATCHES " [TtWw] (QNVNet_[A-Za-z]+|qnvnet_[a-z_]+)(\\(|$)")
    list(APPEND found ${CMAKE_MATCH_1})
  elseif(line MATCHES " [TtWw] ")
    message(FATAL_ERROR "unexpected exported function: ${line}")
  elseif(line MATCHES "QNVNet_|qnvnet_")
    message(FATAL_ERROR "unexpected symbol: ${line}")
  endif()
endforeach()

list(SORT declared)
list(SORT found)
if(NOT declared STREQUAL found)
  message(FATAL_ERROR "exports differ from the headers:\n declared: ${declared}\n found: ${found}")
endif()
foreach(name GetSdkVersion SetCallback InitLib UnInitLib DevLogin DevLogout LiveOpen LiveClose
        LivePause LivePlay LiveCapture LiveSaveOpen LiveSaveClose PTZCtrlSend PTZCtrlPreset
        PTZGetParam ManageGetSysConfig ManageSetSysConfig ManageSendSysCmd ManageSysUpdateData
        ManageSysUpdateStart RuleDownLoad RuleUpLoad RuleEnable IsRuleEnable AlgorGetParam
        AlgorSetParam)
  if(NOT "QNVNet_${name}" IN_LIST found)
    message(FATAL_ERROR "QNVNet_${name} is missing")
  endif()
endforeach()
# The extensions beside the 27, each documented in QNVNetSdk.h (and its C
# counterpart in qnvnet.h): a missing one is a broken promise, an unlisted
# one an undocumented addition to review here.
set(extensions LiveSaveRollover LiveSetPreRecord LiveSetStallTimeout GetDisconnectReason
    DevGetLossReason LiveGetLossReason DevGetMessageDrops DecoderAvailable)
foreach(name ${extensions})
  if(NOT "QNVNet_${name}" IN_LIST found)
    message(FATAL_ERROR "the extension QNVNet_${name} is missing")
  endif()
endforeach()
set(cxx_found ${found})
list(FILTER cxx_found INCLUDE REGEX "^QNVNet_")
list(LENGTH cxx_found cxx_count)
list(LENGTH extensions extension_count)
math(EXPR expected "27 + ${extension_count}")
if(NOT cxx_count EQUAL expected)
  message(FATAL_ERROR "${cxx_count} QNVNet_ exports, not the 27 and the ${extension_count} "
                      "extensions listed here")
endif()
list(LENGTH found count)
message(STATUS "${count} exports, as the headers declare")
