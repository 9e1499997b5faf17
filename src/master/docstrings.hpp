// The documented members' docstrings. Each line is introduced by a newline
// and two tabs, and the text ends with a newline and two tabs.
#pragma once

namespace qel::docs {

#define QEL_DOC_LINE "\n\t\t"

constexpr const char* kReadRegister =
    QEL_DOC_LINE "根据指定的功能码，从指定的从站读取指定地址的寄存器值。"
    QEL_DOC_LINE ":param station: 从站地址"
    QEL_DOC_LINE ":param address: 寄存器地址"
    QEL_DOC_LINE ":param func_code: 功能码，默认为读取多个寄存器，3"
    QEL_DOC_LINE ":return: 16 位寄存器值（无符号）"
    QEL_DOC_LINE;

constexpr const char* kReadRegisters =
    QEL_DOC_LINE "根据指定的功能码，从指定的从站读取指定地址指定数量的寄存器值。"
    QEL_DOC_LINE ":param station: 从站地址"
    QEL_DOC_LINE ":param address: 寄存器地址"
    QEL_DOC_LINE ":param count: 要读取的寄存器数量"
    QEL_DOC_LINE ":param func_code: 功能码，默认为读取多个寄存器，3"
    QEL_DOC_LINE ":return: 多个寄存器值（16位无符号整数）组成的列表"
    QEL_DOC_LINE;

constexpr const char* kReadInputRegister =
    QEL_DOC_LINE "从指定的从站读取指定地址的“输入”寄存器值，只读取一个，使用确定的功能码 0x4"
    QEL_DOC_LINE ":param station: 从站地址"
    QEL_DOC_LINE ":param address: 寄存器地址"
    QEL_DOC_LINE ":return: 16 位寄存器值（无符号）"
    QEL_DOC_LINE;

constexpr const char* kReadInputRegisters =
    QEL_DOC_LINE "使用确定的功能码 0x4，从指定的从站读取指定地址指定数量的寄存器（输入寄存器）值。"
    QEL_DOC_LINE ":param station: 从站地址"
    QEL_DOC_LINE ":param address: 寄存器地址"
    QEL_DOC_LINE ":param count: 要读取的寄存器数量"
    QEL_DOC_LINE ":return: 多个寄存器值（16位无符号整数）组成的列表"
    QEL_DOC_LINE;

constexpr const char* kWriteMessage =
    QEL_DOC_LINE "把组装好的报文写入到通道（如串口）。所有需要往通道写数据的函数都应该通过调用这个函数来执行写入。"
    QEL_DOC_LINE ":param message: 组装好的报文"
    QEL_DOC_LINE ":return: No return"
    QEL_DOC_LINE;

constexpr const char* kFixReadRegisters =
    QEL_DOC_LINE "根据指定的功能码，从预定的从站读取指定地址指定数量的寄存器值。"
    QEL_DOC_LINE ":param address: 寄存器地址"
    QEL_DOC_LINE ":param count: 要读取的寄存器数量"
    QEL_DOC_LINE ":param func_code: 功能码，默认为读取多个寄存器，3"
    QEL_DOC_LINE ":return: 多个寄存器值（16位无符号整数）组成的列表"
    QEL_DOC_LINE;

#undef QEL_DOC_LINE

}  // namespace qel::docs
