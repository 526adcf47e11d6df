// The TCP client's own error texts, shared by its POSIX and Winsock builds.
// They reach the operator after the operation's error prefix.
#pragma once

namespace tcptext {
inline constexpr char kRefused[] = "连接被拒绝";
inline constexpr char kReset[] = "连接被对方重置";
inline constexpr char kBroken[] = "连接已断开";
inline constexpr char kAborted[] = "连接已中止";
inline constexpr char kTimedOut[] = "连接超时";
inline constexpr char kNetUnreachable[] = "网络不可达";
inline constexpr char kHostUnreachable[] = "主机不可达";

inline constexpr char kAlreadyOpen[] = "连接已经打开";
inline constexpr char kNoHost[] = "主机地址为空";
inline constexpr char kBadPort[] = "端口号无效：";
inline constexpr char kCannotResolve[] = "无法解析主机地址 ";
inline constexpr char kConnectTo[] = "连接 ";
inline constexpr char kConnectTimedOut[] = " 超时";
inline constexpr char kCannotConnect[] = "无法连接 ";
inline constexpr char kNotOpen[] = "连接未打开";
inline constexpr char kWaitFailed[] = "等待失败：";
inline constexpr char kSendFailed[] = "发送失败";
inline constexpr char kSendTimedOut[] = "发送超时";
inline constexpr char kReceiveFailed[] = "接收失败";
inline constexpr char kPeerClosed[] = "连接已被对方关闭";
inline constexpr char kReplyTimedOut[] = "等待应答超时";
inline constexpr char kSeparator[] = "：";
}  // namespace tcptext
