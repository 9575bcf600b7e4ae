# Writes the Windows installation files from the module's own ATR table, so that a card added to
# the table is registered without a second edit:
#   helixmd.inf            installs helixmd.dll (x64 into System32, x86 into SysWOW64) and
#                          registers every card in both registry views; uninstalls them again
#   helixmd.reg            the same registry entries, for an installation by hand
#   helixmd-uninstall.reg  removes them
# The package carries the two builds as helixmd64.dll and helixmd32.dll; both are installed under
# the name the registry gives, helixmd.dll.

set(HELIX_CARD_CSP "Microsoft Base Smart Card Crypto Provider")
set(HELIX_CARD_KSP "Microsoft Smart Card Key Storage Provider")
set(HELIX_CARDS_KEY "SOFTWARE\\Microsoft\\Cryptography\\Calais\\SmartCards")
set(HELIX_CARDS_KEY_WOW64 "SOFTWARE\\WOW6432Node\\Microsoft\\Cryptography\\Calais\\SmartCards")

# "3B80" -> "3b,80"
function(helix_hex_list hex out)
  string(TOLOWER "${hex}" hex)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\1," list "${hex}")
  string(REGEX REPLACE ",$" "" list "${list}")
  set(${out} "${list}" PARENT_SCOPE)
endfunction()

function(helix_write_registration table out_dir)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${table}")
  file(STRINGS "${table}" lines REGEX "^HELIX_ATR")
  if(NOT lines)
    message(FATAL_ERROR "${table}: no HELIX_ATR entries")
  endif()

  set(crlf "\r\n")
  string(TIMESTAMP date "%m/%d/%Y" UTC)
  set(reg "Windows Registry Editor Version 5.00${crlf}")
  set(unreg "${reg}")
  set(inf_native "")
  set(inf_wow64 "")
  set(inf_keys "")
  foreach(line IN LISTS lines)
    if(NOT line MATCHES "^HELIX_ATR\\(\"([^\"\\\\]+)\", \"([0-9A-F]+)\", \"([0-9A-F]+)\"\\)$")
      message(FATAL_ERROR "${table}: cannot read \"${line}\"")
    endif()
    set(name "${CMAKE_MATCH_1}")
    helix_hex_list("${CMAKE_MATCH_2}" atr)
    helix_hex_list("${CMAKE_MATCH_3}" mask)
    foreach(view "${HELIX_CARDS_KEY}" "${HELIX_CARDS_KEY_WOW64}")
      string(APPEND reg "${crlf}[HKEY_LOCAL_MACHINE\\${view}\\${name}]${crlf}"
        "\"ATR\"=hex:${atr}${crlf}"
        "\"ATRMask\"=hex:${mask}${crlf}"
        "\"Crypto Provider\"=\"${HELIX_CARD_CSP}\"${crlf}"
        "\"Smart Card Key Storage Provider\"=\"${HELIX_CARD_KSP}\"${crlf}"
        "\"80000001\"=\"helixmd.dll\"${crlf}")
      string(APPEND unreg "${crlf}[-HKEY_LOCAL_MACHINE\\${view}\\${name}]${crlf}")
    endforeach()
    foreach(section native wow64)
      if(section STREQUAL "native")
        set(key "${HELIX_CARDS_KEY}\\${name}")
      else()
        set(key "${HELIX_CARDS_KEY_WOW64}\\${name}")
      endif()
      string(APPEND inf_${section}
        "HKLM,\"${key}\",\"ATR\",0x00000001,${atr}${crlf}"
        "HKLM,\"${key}\",\"ATRMask\",0x00000001,${mask}${crlf}"
        "HKLM,\"${key}\",\"Crypto Provider\",0x00000000,%CSP%${crlf}"
        "HKLM,\"${key}\",\"Smart Card Key Storage Provider\",0x00000000,%KSP%${crlf}"
        "HKLM,\"${key}\",\"80000001\",0x00000000,\"helixmd.dll\"${crlf}")
      string(APPEND inf_keys_${section} "HKLM,\"${key}\"${crlf}")
    endforeach()
  endforeach()

  set(inf "\
; Helix smart card minidriver ${PROJECT_VERSION}: copies helixmd.dll into place and registers the${crlf}\
; Helix cards with the smart card stack. Written by the build from the module's ATR table.${crlf}\
${crlf}\
[Version]${crlf}\
Signature=\"$Windows NT$\"${crlf}\
Class=SmartCard${crlf}\
ClassGuid={990A2BD7-E738-46c7-B26F-1CF8FB9F1391}${crlf}\
Provider=%Provider%${crlf}\
DriverVer=${date},${PROJECT_VERSION}.0${crlf}\
PnpLockdown=1${crlf}\
${crlf}\
[SourceDisksNames]${crlf}\
1=%Media%${crlf}\
${crlf}\
[SourceDisksFiles]${crlf}\
helixmd64.dll=1${crlf}\
helixmd32.dll=1${crlf}\
${crlf}\
[DestinationDirs]${crlf}\
Files.x64=11${crlf}\
Files.x86=11${crlf}\
Files.Wow64=10,SysWOW64${crlf}\
${crlf}\
[DefaultInstall.NTamd64]${crlf}\
CopyFiles=Files.x64,Files.Wow64${crlf}\
AddReg=Cards.Native,Cards.Wow64${crlf}\
${crlf}\
[DefaultInstall.NTx86]${crlf}\
CopyFiles=Files.x86${crlf}\
AddReg=Cards.Native${crlf}\
${crlf}\
[DefaultUninstall.NTamd64]${crlf}\
DelFiles=Files.x64,Files.Wow64${crlf}\
DelReg=Cards.Native.Keys,Cards.Wow64.Keys${crlf}\
${crlf}\
[DefaultUninstall.NTx86]${crlf}\
DelFiles=Files.x86${crlf}\
DelReg=Cards.Native.Keys${crlf}\
${crlf}\
; Installed as helixmd.dll, the name the registry gives; 0x4000: replace without asking.${crlf}\
[Files.x64]${crlf}\
helixmd.dll,helixmd64.dll,,0x00004000${crlf}\
${crlf}\
[Files.x86]${crlf}\
helixmd.dll,helixmd32.dll,,0x00004000${crlf}\
${crlf}\
[Files.Wow64]${crlf}\
helixmd.dll,helixmd32.dll,,0x00004000${crlf}\
${crlf}\
[Cards.Native]${crlf}\
${inf_native}\
${crlf}\
[Cards.Wow64]${crlf}\
${inf_wow64}\
${crlf}\
[Cards.Native.Keys]${crlf}\
${inf_keys_native}\
${crlf}\
[Cards.Wow64.Keys]${crlf}\
${inf_keys_wow64}\
${crlf}\
[Strings]${crlf}\
Provider=\"Helix\"${crlf}\
Media=\"Helix smart card minidriver ${PROJECT_VERSION}\"${crlf}\
CSP=\"${HELIX_CARD_CSP}\"${crlf}\
KSP=\"${HELIX_CARD_KSP}\"${crlf}")

  file(CONFIGURE OUTPUT "${out_dir}/helixmd.inf" CONTENT "${inf}" @ONLY)
  file(CONFIGURE OUTPUT "${out_dir}/helixmd.reg" CONTENT "${reg}" @ONLY)
  file(CONFIGURE OUTPUT "${out_dir}/helixmd-uninstall.reg" CONTENT "${unreg}" @ONLY)
endfunction()
