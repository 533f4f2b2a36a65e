#pragma once
// Tasks: one unit of work, run once, whose outcome can be collected afterwards.
//
// CVxTask owns a manual-reset completion event and the stored outcome; run()
// resets the event, executes, stores the outcome and sets the event, so that a
// thread in waitForCompletion() sees the outcome of the run that woke it.
// CVxExeTask starts an executable: it resolves a leading "./" against the host
// executable's folder and one %VAR% from the environment, refuses (87) a
// resulting path with a quotation mark or a NUL in it, optionally tests the
// file's signature, starts it through CCPHelper at its priority class, and waits
// for its exit code or leaves it running. A file to be tested is first opened
// under the trust rule (process/ProcessSpawn.h), and refused with its code
// before its signature is read when others could have written it; the file
// whose signature is tested is held open and that open file is what starts,
// so replacing the path after the test cannot swap in another program.
//
// A task is used by one thread at a time; other threads may only wait for it
// (waitForCompletion) and read the outcome after that wait.
#include <cstdint>
#include <string>

#include "foundation/VxErrorCodes.h"
#include "foundation/VxNAResult.h"
#include "platform/Event.h"
#include "process/ChildProcess.h"

class CVxTask {
 public:
  CVxTask();
  virtual ~CVxTask();
  CVxTask(const CVxTask&) = delete;
  CVxTask& operator=(const CVxTask&) = delete;

  virtual VxNAResult<std::uint32_t> run();
  // Blocks until a run has stored its outcome; 0 (WAIT_OBJECT_0).
  virtual std::uint32_t waitForCompletion();
  virtual VxNAResult<std::uint32_t> getResult();
  // Replaces the first %NAME% of path by the variable's value (empty when it is
  // not set) and drops the "%" characters after it. 0; 1168 without a "%"; 87
  // for an empty path or a "%" without its closing one.
  virtual std::uint32_t parseEnvironmentPath(std::wstring& path);
  // Replaces a leading "./" by the host executable's folder and "/". 0; 1168
  // when path does not begin with "./" or the folder is unknown; 87 when empty.
  virtual std::uint32_t parseModulePath(std::wstring& path);
  // The folder of the host process's executable, without a trailing "/".
  virtual std::uint32_t getModuleDirectory(std::wstring& folder);

 protected:
  virtual VxNAResult<std::uint32_t> execute() = 0;

 private:
  bool ownsEvent_ = true;
  platform::Event completion_;
  VxNAResult<std::uint32_t> outcome_;
};

class CVxExeTask : public CVxTask {
 public:
  CVxExeTask(std::wstring path, std::wstring arguments, bool wait, bool validate);
  ~CVxExeTask() override = default;

  // True when the file passes the signature test.
  virtual bool validateSignature(const std::wstring& path);
  // The signature test of the file open at executable (path names it in logs).
  virtual bool validateOpenExecutable(int executable, const std::wstring& path);
  virtual void setRunInUserSession(bool inUserSession);
  virtual void setPriority(std::uint32_t priorityClass);
  // Starts the process at the task's priority; with wait, its exit code.
  virtual VxNAResult<std::uint32_t> runProcess(const std::wstring& path,
                                               const std::wstring& arguments, bool wait,
                                               bool inUserSession);
  virtual std::uint32_t getPriority();

 protected:
  VxNAResult<std::uint32_t> execute() override;

 private:
  // runProcess, starting the already opened (and examined) executable when
  // executable is not negative.
  VxNAResult<std::uint32_t> startProcess(const std::wstring& path, const std::wstring& arguments,
                                         bool wait, bool inUserSession, int executable);

  std::wstring path_;
  std::wstring arguments_;
  bool wait_;
  bool validate_;
  bool runInUserSession_ = false;
  std::uint32_t priority_ = vxprocess::NORMAL_PRIORITY_CLASS;
};
