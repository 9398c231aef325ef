# The ABI of libmarlclient.so.1 as abidw describes it, one file per target
# architecture under abi/: abi_description_test fails on any difference, so
# that a change to the exported functions or records is made on purpose.
# After such a change: cmake --build BUILD --target abi-description
find_program(MARL_ABIDW abidw)
find_program(MARL_ABIDIFF abidiff)
set(MARL_ABI_FILE ${PROJECT_SOURCE_DIR}/abi/libmarlclient.so.1.${CMAKE_SYSTEM_PROCESSOR}.abi)
# Only the public headers' types; no paths, which differ from checkout to
# checkout.
set(MARL_ABIDW_OPTIONS --no-show-locs --no-corpus-path --no-comp-dir-path --type-id-style hash --drop-private-types
    --headers-dir ${PROJECT_SOURCE_DIR}/marl/module/marlengine/export
    --headers-dir ${PROJECT_SOURCE_DIR}/base/export/basecommon)
add_custom_target(abi-description
    COMMAND ${MARL_ABIDW} ${MARL_ABIDW_OPTIONS} --out-file ${MARL_ABI_FILE} $<TARGET_FILE:marlclient>
    DEPENDS marlclient
    COMMENT "Describing the ABI of libmarlclient.so.1 in ${MARL_ABI_FILE}")
