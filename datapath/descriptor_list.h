// The three operations a DescriptorList knows: append at the tail, push at the head, pop
// from the head. The caller holds whatever lock guards the list.
#pragma once

#include "datapath/descriptors.h"

// Any IRQL. Puts Descriptor at the tail of List; returns nothing.
inline void AppendDescriptor(DescriptorList* List, TransferDescriptor* Descriptor) {
    Descriptor->Next = nullptr;
    Descriptor->Prev = List->Tail;
    if (List->Tail != nullptr) {
        List->Tail->Next = Descriptor;
    } else {
        List->Head = Descriptor;
    }
    List->Tail = Descriptor;
    List->Count++;
}

// Any IRQL. Puts Descriptor at the head of List; returns nothing.
inline void PushDescriptor(DescriptorList* List, TransferDescriptor* Descriptor) {
    Descriptor->Prev = nullptr;
    Descriptor->Next = List->Head;
    if (List->Head != nullptr) {
        List->Head->Prev = Descriptor;
    } else {
        List->Tail = Descriptor;
    }
    List->Head = Descriptor;
    List->Count++;
}

// Any IRQL. Takes the head of List; null when the list is empty.
inline TransferDescriptor* PopDescriptor(DescriptorList* List) {
    TransferDescriptor* descriptor = List->Head;
    if (descriptor == nullptr) return nullptr;
    List->Head = descriptor->Next;
    if (List->Head != nullptr) {
        List->Head->Prev = nullptr;
    } else {
        List->Tail = nullptr;
    }
    List->Count--;
    descriptor->Next = nullptr;
    descriptor->Prev = nullptr;
    return descriptor;
}
