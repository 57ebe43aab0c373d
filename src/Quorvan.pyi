# Type information for the Quorvan extension module: one class holding one
# FTP session.  The methods carry annotations at run time (recorded, never
# enforced); the stub widens some of them to what the methods accept, since
# every argument is handed on to ftplib, threading or open() as it is:
# seconds as float (int is accepted as float), local files as a path or, where
# open() takes one, a file descriptor.
import ftplib
import os
import threading as threading
from typing import List as List

# Looked up each time a method needs them, so a program may rebind them: FTP
# to an ftplib.FTP_TLS subclass for FTPS, for instance.
FTP: type[ftplib.FTP]
error_perm: type[ftplib.error_perm]

class CLASS_FTPClient:
    mobj_FTP: ftplib.FTP | None
    mb_Connected: bool
    ms_Encoding: str
    mobj_KeepAliveTimer: threading.Timer | None
    mi_KeepAliveInterval: float
    mb_TimerRunning: bool
    mobj_Lock: threading.Lock

    def __init__(self) -> None: ...
    def CUF_Open(
        self,
        Pms_Host: str,
        Pmi_Port: int = 21,
        Pms_User: str = "",
        Pms_Password: str = "",
        Pmi_Timeout: float = 10,
        Pmb_Passive: bool = True,
        Pms_Encoding: str = "utf-8",
        Pmi_KeepAliveInterval: float = 30,
    ) -> bool:
        """開啟 FTP 連線並啟動 KeepAlive Timer"""
    def CUF_Close(self) -> None:
        """關閉 FTP 連線並停止 KeepAlive"""
    def CUF_KeepAlive(self) -> bool:
        """傳送 NOOP，避免 FTP Server timeout"""
    def CUF_CheckAlive(self) -> bool:
        """檢查連線是否仍然存在"""
    def CUF__OnKeepAliveTimer(self) -> None: ...
    def CUF_StartKeepAliveTimer(self, Pmi_Interval: float = 30) -> None: ...
    def CUF_StopKeepAliveTimer(self) -> None: ...
    def CUF_ChangeDir(self, Pms_Path: str) -> None: ...
    def CUF_GetCurrentDir(self) -> str: ...
    def CUF_ListFiles(self) -> List[str]: ...
    def CUF_MakeDir(self, Pms_DirName: str) -> None: ...
    def CUF_RemoveDir(self, Pms_DirName: str) -> None: ...
    def CUF_DeleteFile(self, Pms_FileName: str) -> None: ...
    def CUF_RenameFile(self, Pms_OldName: str, Pms_NewName: str) -> None: ...
    def CUF_FileExists(self, Pms_FileName: str) -> bool: ...
    def CUF_DownloadFile(
        self,
        Pms_RemoteFile: str,
        Pms_LocalFile: str | os.PathLike[str] | int,
        Pmi_BlockSize: int = 8192,
    ) -> None:
        """下載檔案（binary）"""
    def CUF_UploadFile(
        self,
        Pms_LocalFile: str | os.PathLike[str] | int,
        Pms_RemoteFile: str,
        Pmi_BlockSize: int = 8192,
    ) -> None:
        """上傳檔案（binary）"""
    def CUF_IsConnected(self) -> bool: ...
