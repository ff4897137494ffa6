from typing import Iterable, Optional, Tuple, Union

from .session import Message

_Data = Union[str, bytes, bytearray, memoryview]

def bind(produce: Optional[int], consume: Optional[int], info: Optional[int],
         message_type: type) -> None: ...
def produce(handle: int, value: _Data, key: Optional[_Data], convert: Union[int, bool],
            whole_keys: bool) -> int: ...
def produce_many(handle: int, values: Iterable[_Data], key: Optional[_Data],
                 convert: bool, whole_keys: bool) -> Tuple[int, int]: ...
def consume(handle: int, group: bytes, buffer: bytearray, key_buffer: bytearray, convert: int,
            timeout: int, size: int) -> Union[int, Message, Tuple[Message, bool]]: ...
