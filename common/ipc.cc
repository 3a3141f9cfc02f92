#include "common/ipc.h"

#include <errno.h>

namespace vrk {

void ipc_buffer_wipe(IpcBuffer& buf) {
  buf.length = 0;
}
void IpcBufferWipeFree::operator()(IpcBuffer* buf) const {
  delete buf;
}
IpcBufferPtr ipc_buffer_new() {
  return IpcBufferPtr();
}
void ipc_begin(IpcBuffer& buf, IpcType, uint32_t) {
  buf.length = kIpcHeaderBytes;
}
int ipc_put_bytes(IpcBuffer&, uint16_t, const void*, size_t) {
  return -1;
}
int ipc_put_text(IpcBuffer&, uint16_t, const char*) {
  return -1;
}
int ipc_put_u32(IpcBuffer&, uint16_t, uint32_t) {
  return -1;
}
int ipc_parse_header(const uint8_t*, size_t, IpcMessage&) {
  return -1;
}
int ipc_parse_header(const IpcBuffer&, IpcMessage&) {
  return -1;
}
int ipc_build_hello(IpcBuffer&, uint32_t) {
  return -1;
}
int ipc_build_mail_config(IpcBuffer&, uint32_t, const MailSettings&) {
  return -1;
}
int ipc_build_mail_send(IpcBuffer&, uint32_t, std::string_view, std::string_view) {
  return -1;
}
int ipc_build_mail_result(IpcBuffer&, uint32_t, uint32_t, std::string_view) {
  return -1;
}
int ipc_build_api_config(IpcBuffer&, uint32_t, std::string_view, std::string_view, uint32_t) {
  return -1;
}
int ipc_build_api_request(IpcBuffer&, uint32_t, const ApiRequest&) {
  return -1;
}
int ipc_build_api_response(IpcBuffer&, uint32_t, const ApiResponse&) {
  return -1;
}
int ipc_parse_hello(const IpcMessage&, uint32_t&, std::span<char>) {
  return -1;
}
int ipc_parse_mail_config(const IpcMessage&, MailSettings&, std::span<char>) {
  return -1;
}
int ipc_parse_mail_send(const IpcMessage&, std::span<char>, std::span<char>, std::span<char>) {
  return -1;
}
int ipc_parse_mail_result(const IpcMessage&, uint32_t&, std::span<char>, std::span<char>) {
  return -1;
}
int ipc_parse_api_config(const IpcMessage&, ApiTlsConfig&, std::span<char>) {
  return -1;
}
void ipc_api_config_release(ApiTlsConfig&) {}
int ipc_parse_api_request(const IpcMessage&, ApiRequest&, std::span<char>) {
  return -1;
}
void ipc_api_request_wipe(ApiRequest&) {}
int ipc_parse_api_response(const IpcMessage&, ApiResponse&, std::span<char>) {
  return -1;
}
int ipc_send(int, const IpcBuffer&, bool) {
  errno = ENOSYS;
  return -1;
}
int ipc_recv(int, IpcBuffer& buf, bool) {
  buf.length = 0;
  return kIpcRecvClosed;
}

}  // namespace vrk
