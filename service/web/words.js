// The console's Korean vocabulary, word for word, so that the page and the
// operator's console say the same things.

const CALL_STATES = new Map([[1, '착신:'], [2, '통화중착신']]);
export const callStateWord = (state) => CALL_STATES.get(state) ?? '잘못된 메시지';

const TEL_TYPES = new Map([
  ['BLACK', '블랙 리스트 등록 전화'],
  ['NORMAL', '일반 전화'],
  ['PUBLIC', '공중 전화'],
  ['NO_DISP', '발신 표시 방지 전화'],
  ['NO_GATHER', '발신 정보 수집 불가능 전화'],
  ['VIP', 'VIP 전화'],
]);
export const telTypeText = (type) => TEL_TYPES.get(type) ?? '';

export const NO_NAME = '없슴';
export const NOT_PROVIDED = '서비스안함';

export const hookText = (lifted) => (lifted ? '수화기를 들었습니다.' : '수화기를 놓았습니다.');

// "1" on, "0" off, anything else no word at all.
export const stateWord = (value) => (value === '1' ? '설정' : value === '0' ? '해제' : '');

export const MELODY_TITLES = ['과수원길', '바닷가에서', '산바람 강바람', '옹달샘', '우산', '초록바다'];
export const melodyTitle = (number) => MELODY_TITLES[Number.parseInt(number, 10) - 1] ?? '';

export const SENT_OK = '명령 송신 성공';
export const SENT_FAILED = '명령 송신 실패';
