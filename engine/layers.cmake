# The engine's layers, lowest first, and the layers each one may use (its
# own included). engine/CMakeLists.txt builds one library per layer linked
# to exactly these; the test layering.layers fails on any #include of a
# header from a layer not listed here.
set(TARVELIN_LAYERS platform core iso writer edit convert capture)
set(TARVELIN_LAYER_USES_platform "")
set(TARVELIN_LAYER_USES_core platform)
set(TARVELIN_LAYER_USES_iso core platform)
set(TARVELIN_LAYER_USES_writer iso core platform)
set(TARVELIN_LAYER_USES_edit writer iso core platform)
set(TARVELIN_LAYER_USES_convert core platform)
set(TARVELIN_LAYER_USES_capture core platform)
