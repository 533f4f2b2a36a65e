vx_add_test_suite(vx_kernel_tests
  VxAVScanThreadTest.cpp
  VxAVScannerKernelStateTest.cpp
  VxAVScannerKernelFlowTest.cpp
  VxAVScannerKernelCancelTest.cpp
  VxAVScannerKernelDocumentsTest.cpp
)
