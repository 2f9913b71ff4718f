unit Harbour.Ledger;

{ Accounts, postings and a small journal for a harbour's mooring fees.
  The unit is written for the parser's tests: it uses the declaration forms
  of everyday Delphi code in the places they usually appear. }

interface

uses
  System.SysUtils,
  System.Classes,
  System.Generics.Collections;

const
  MaxBerths = 240;
  DefaultCurrency = 'EUR';
  VatRate: Double = 0.21;
  SeasonMonths: array[0..2] of Integer = (6, 7, 8);
  WM_LEDGER_CHANGED = $0400 + 17;

resourcestring
  SUnknownAccount = 'Unknown account: %s';
  SLedgerClosed = 'The ledger is closed';

type
  TAccountId = type Integer;
  TCents = Int64;
  TBerthRange = 1..MaxBerths;
  TPostingKind = (pkFee, pkRefund, pkAdjustment = 10);
  TPostingKinds = set of TPostingKind;
  PPosting = ^TPosting;
  TMonthTotals = array[1..12] of TCents;
  TLegacyAmount = Currency deprecated 'use TCents';
  TShortCode = string[8];

  TPosting = record
    Account: TAccountId;
    Amount: TCents;
    Kind: TPostingKind;
    Memo: string;
  end;

  TPostingEvent = procedure(Sender: TObject; const Posting: TPosting) of object;
  TPostingFilter = reference to function(const Posting: TPosting): Boolean;
  TRateCallback = function(Month: Integer): Double; stdcall;

  ELedgerError = class(Exception);

  ILedgerObserver = interface
    ['{6F1C0A52-1D0B-4C39-9B5E-2E7A1D3C4B10}']
    procedure PostingAdded(const Posting: TPosting);
  end;

  TAccount = class
  private
    FId: TAccountId;
    FName: string;
    FBalance: TCents;
  public
    constructor Create(AId: TAccountId; const AName: string);
    procedure Apply(const Posting: TPosting); virtual;
    function Describe: string; virtual; abstract;
    property Id: TAccountId read FId;
    property Name: string read FName write FName;
    property Balance: TCents read FBalance;
  end;

  TBerthAccount = class(TAccount)
  private
    FBerth: TBerthRange;
  public
    constructor Create(AId: TAccountId; const AName: string; ABerth: TBerthRange);
    function Describe: string; override;
  end;

  TLedger = class
  strict private
    FAccounts: TObjectList<TAccount>;
    FPostings: TList<TPosting>;
    FClosed: Boolean;
    FOnPosting: TPostingEvent;
  public
    constructor Create;
    destructor Destroy; override;
    function Find(Id: TAccountId): TAccount;
    procedure Post(Id: TAccountId; Amount: TCents; Kind: TPostingKind = pkFee);
    function Total(Filter: TPostingFilter = nil): TCents;
    procedure Close;
    class function Open: TLedger; static;
    property OnPosting: TPostingEvent read FOnPosting write FOnPosting;
  end;

  TPair<TKey, TValue> = record
    Key: TKey;
    Value: TValue;
  end;

  TRegistry<T: class, constructor> = class
  private
    FItems: TDictionary<string, T>;
  public
    function Get(const Key: string): T;
  end;

var
  GlobalLedger: TLedger;
  PostingCount, RefundCount: Integer;
  MonthTotals: TMonthTotals;

threadvar
  CurrentAccount: TAccountId;

function FormatCents(Value: TCents; const Currency: string = DefaultCurrency): string;
function SumOf(const Values: array of TCents): TCents; overload;
function SumOf(const A, B: TCents): TCents; overload; inline;
procedure ResetTotals(var Totals: TMonthTotals);
function Clamp<T>(const Value, Low, High: T): T;
function NativeRate(Month: Integer): Double; stdcall; external 'rates.dll' name 'Rate';
procedure OldReset; deprecated 'use ResetTotals';

implementation

uses
  System.Math;

const
  CentsPerUnit = 100;

type
  TTotalsHelper = record helper for TMonthTotals
    function Sum: TCents;
  end;

var
  Registered: Boolean = False;

function FormatCents(Value: TCents; const Currency: string): string;
var
  Units, Rest: Int64;
begin
  Units := Value div CentsPerUnit;
  Rest := Abs(Value mod CentsPerUnit);
  Result := Format('%d.%.2d %s', [Units, Rest, Currency]);
end;

function SumOf(const Values: array of TCents): TCents;
var
  V: TCents;
begin
  Result := 0;
  for V in Values do
    Inc(Result, V);
end;

function SumOf(const A, B: TCents): TCents;
begin
  Result := A + B;
end;

procedure ResetTotals(var Totals: TMonthTotals);
var
  Month: Integer;
begin
  for Month := Low(Totals) to High(Totals) do
    Totals[Month] := 0;
end;

function Clamp<T>(const Value, Low, High: T): T;
begin
  Result := Value;
end;

function NativeRate(Month: Integer): Double; stdcall; external 'rates.dll' name 'Rate';

procedure OldReset;
begin
  ResetTotals(MonthTotals);
end;

{ TTotalsHelper }

function TTotalsHelper.Sum: TCents;
var
  Month: Integer;
begin
  Result := 0;
  for Month := 1 to 12 do
    Inc(Result, Self[Month]);
end;

{ TAccount }

constructor TAccount.Create(AId: TAccountId; const AName: string);
begin
  inherited Create;
  FId := AId;
  FName := AName;
end;

procedure TAccount.Apply(const Posting: TPosting);
begin
  case Posting.Kind of
    pkFee: Inc(FBalance, Posting.Amount);
    pkRefund: Dec(FBalance, Posting.Amount);
  else
    FBalance := FBalance + Posting.Amount;
  end;
end;

{ TBerthAccount }

constructor TBerthAccount.Create(AId: TAccountId; const AName: string; ABerth: TBerthRange);
begin
  inherited Create(AId, AName);
  FBerth := ABerth;
end;

function TBerthAccount.Describe: string;
begin
  Result := Format('%s (berth %d)', [Name, FBerth]);
end;

{ TLedger }

constructor TLedger.Create;
begin
  inherited;
  FAccounts := TObjectList<TAccount>.Create(True);
  FPostings := TList<TPosting>.Create;
end;

destructor TLedger.Destroy;
begin
  FPostings.Free;
  FAccounts.Free;
  inherited;
end;

function TLedger.Find(Id: TAccountId): TAccount;
var
  Account: TAccount;
begin
  for Account in FAccounts do
    if Account.Id = Id then
      Exit(Account);
  raise ELedgerError.CreateFmt(SUnknownAccount, [IntToStr(Id)]);
end;

procedure TLedger.Post(Id: TAccountId; Amount: TCents; Kind: TPostingKind);
var
  Posting: TPosting;

  procedure Notify(const P: TPosting);
  begin
    if Assigned(FOnPosting) then
      FOnPosting(Self, P);
  end;

begin
  if FClosed then
    raise ELedgerError.Create(SLedgerClosed);
  Posting.Account := Id;
  Posting.Amount := Amount;
  Posting.Kind := Kind;
  Find(Id).Apply(Posting);
  FPostings.Add(Posting);
  Inc(PostingCount);
  Notify(Posting);
end;

function TLedger.Total(Filter: TPostingFilter): TCents;
var
  Posting: TPosting;
begin
  Result := 0;
  for Posting in FPostings do
    if not Assigned(Filter) or Filter(Posting) then
      Inc(Result, Posting.Amount);
end;

procedure TLedger.Close;
label
  Done;
begin
  if FClosed then
    goto Done;
  FClosed := True;
Done:
end;

class function TLedger.Open: TLedger;
begin
  if GlobalLedger = nil then
    GlobalLedger := TLedger.Create;
  Result := GlobalLedger;
end;

{ TRegistry<T> }

function TRegistry<T>.Get(const Key: string): T;
begin
  if not FItems.TryGetValue(Key, Result) then
  begin
    Result := T.Create;
    FItems.Add(Key, Result);
  end;
end;

function Checksum(const Data: array of Byte): Cardinal; assembler;
asm
  xor eax, eax
end;

initialization
  Registered := True;
  ResetTotals(MonthTotals);

finalization
  FreeAndNil(GlobalLedger);

end.
