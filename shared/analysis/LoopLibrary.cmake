# Included from shared/: the loop library's pure parts beside the loop engine.
target_sources(quellon_core PRIVATE
  analysis/LoopClipAnalysis.cpp
  analysis/LoopImport.cpp
  analysis/LoopMetrics.cpp
  analysis/LoopQualityReport.cpp
  analysis/RecordingGuidance.cpp
  analysis/TrimMath.cpp)

quellon_add_test(quellon_loop_quality_tests SOURCES
  analysis/LoopClipAnalysis_test.cpp
  analysis/LoopQualityReport_test.cpp)
quellon_add_test(quellon_loop_import_tests SOURCES
  analysis/LoopImport_test.cpp
  analysis/TrimMath_test.cpp)
